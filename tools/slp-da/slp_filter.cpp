#include "slp_filter.h"

#include "slp_text.h"

namespace slpda {

struct Filter::Node {
    enum Kind { kAnd, kOr, kNot, kPresent, kEqual, kSubstring, kLessEq, kGreaterEq };
    Kind kind = kAnd;
    std::vector<std::unique_ptr<Node>> kids;
    std::string tag;  // folded
    // The assertion value, read every way an attribute type may need it.
    std::string folded;  // unescaped and folded: String comparison
    bool isInt = false;
    int64_t intValue = 0;
    bool isOpaque = false;
    std::string opaque;
    std::vector<std::string> pieces;  // substring: folded pieces between the stars
};

namespace {

using Node = Filter::Node;

bool validEscapes(const std::string& raw) {
    std::string ignored;
    return unescape(raw, &ignored);
}

// Folds one piece of a substring pattern: inner runs of blanks become one space and letters are
// lowered, but blanks next to a star stay, so "a *b" needs a blank after the "a".
std::string foldPiece(const std::string& s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (isBlank(c)) {
            if (!blank) out.push_back(' ');
            blank = true;
            continue;
        }
        blank = false;
        out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return out;
}

class Parser {
public:
    Parser(const std::string& s, const FilterLimits& limits) : mS(s), mLimits(limits) {}

    std::unique_ptr<Node> parseAll() {
        std::unique_ptr<Node> root = filter(0);
        if (!root || mPos != mS.size()) return nullptr;  // trailing text is an error
        return root;
    }

private:
    bool eat(char c) {
        if (mPos < mS.size() && mS[mPos] == c) {
            ++mPos;
            return true;
        }
        return false;
    }

    std::unique_ptr<Node> filter(int depth) {
        if (depth >= mLimits.maxDepth || !eat('(') || mPos >= mS.size()) return nullptr;
        auto n = std::make_unique<Node>();
        char c = mS[mPos];
        if (c == '&' || c == '|' || c == '!') {
            ++mPos;
            n->kind = c == '&' ? Node::kAnd : c == '|' ? Node::kOr : Node::kNot;
            while (mPos < mS.size() && mS[mPos] == '(') {
                std::unique_ptr<Node> kid = filter(depth + 1);
                if (!kid) return nullptr;
                n->kids.push_back(std::move(kid));
            }
            if (n->kids.empty() || (n->kind == Node::kNot && n->kids.size() != 1)) return nullptr;
        } else if (++mLeaves > mLimits.maxLeaves || !item(n.get())) {
            return nullptr;
        }
        if (!eat(')')) return nullptr;
        return n;
    }

    bool item(Node* n) {
        size_t start = mPos;
        while (mPos < mS.size() && std::string("=~<>()").find(mS[mPos]) == std::string::npos) {
            ++mPos;
        }
        std::string rawTag = mS.substr(start, mPos - start);
        if (rawTag.empty() || isBlank(rawTag.front()) || isBlank(rawTag.back()) ||
            rawTag.find('*') != std::string::npos) {
            return false;
        }
        std::string tag;
        if (!unescape(rawTag, &tag)) return false;
        n->tag = fold(tag);
        if (n->tag.empty() || mPos >= mS.size()) return false;

        char op = mS[mPos++];
        if (op != '=') {
            if ((op != '~' && op != '<' && op != '>') || !eat('=')) return false;
        }
        size_t close = mS.find(')', mPos);
        if (close == std::string::npos) return false;
        std::string raw = mS.substr(mPos, close - mPos);
        mPos = close;
        // A blank next to the value is taken as a blank outside it, which the grammar has no
        // room for: such a filter matches nothing.
        if (raw.empty() || isBlank(raw.front()) || isBlank(raw.back()) ||
            raw.find('(') != std::string::npos || !validEscapes(raw)) {
            return false;
        }

        if (raw.find('*') != std::string::npos) {
            // Wildcards belong to equality only.
            if (op != '=') return false;
            if (raw == "*") {
                n->kind = Node::kPresent;
                return true;
            }
            n->kind = Node::kSubstring;
            size_t from = 0;
            for (;;) {
                size_t star = raw.find('*', from);
                std::string piece;
                unescape(
                    raw.substr(from, star == std::string::npos ? std::string::npos : star - from),
                    &piece);
                n->pieces.push_back(foldPiece(piece));
                if (star == std::string::npos) break;
                from = star + 1;
            }
            std::string& first = n->pieces.front();
            size_t lead = first.find_first_not_of(' ');
            first.erase(0, lead == std::string::npos ? first.size() : lead);
            std::string& last = n->pieces.back();
            while (!last.empty() && last.back() == ' ') last.pop_back();
            return true;
        }

        n->kind = op == '<' ? Node::kLessEq : op == '>' ? Node::kGreaterEq : Node::kEqual;
        std::string text;
        unescape(raw, &text);
        n->folded = fold(text);
        n->isInt = parseSlpInteger(text, &n->intValue);
        n->isOpaque = parseOpaque(raw, &n->opaque);
        return true;
    }

    const std::string& mS;
    const FilterLimits& mLimits;
    size_t mPos = 0;
    int mLeaves = 0;
};

bool compareValue(const Node& n, const Attribute& a, size_t i) {
    const std::string& v = a.values[i];
    switch (a.type) {
        case ValueType::kInteger:
            if (!n.isInt || n.kind == Node::kSubstring) return false;
            if (n.kind == Node::kEqual) return a.ints[i] == n.intValue;
            if (n.kind == Node::kLessEq) return a.ints[i] <= n.intValue;
            return a.ints[i] >= n.intValue;
        case ValueType::kBoolean:
            return n.kind == Node::kEqual && v == n.folded;
        case ValueType::kOpaque:
            if (!n.isOpaque || n.kind == Node::kSubstring) return false;
            if (n.kind == Node::kEqual) return v == n.opaque;
            if (n.kind == Node::kLessEq) return v <= n.opaque;
            return v >= n.opaque;
        case ValueType::kString:
            break;
    }
    switch (n.kind) {
        case Node::kEqual:
            return v == n.folded;
        case Node::kLessEq:
            return v <= n.folded;
        case Node::kGreaterEq:
            return v >= n.folded;
        case Node::kSubstring:
            return matchPieces(v, n.pieces);
        default:
            return false;
    }
}

// Pays cost from the budget, when there is one.
bool charge(WorkBudget* work, size_t cost) {
    return work == nullptr || work->take(cost);
}

bool exhausted(const WorkBudget* work) {
    return work != nullptr && work->over;
}

bool eval(const Node& n, const std::vector<Attribute>& attrs, WorkBudget* left) {
    switch (n.kind) {
        case Node::kAnd:
            for (const auto& k : n.kids) {
                if (!eval(*k, attrs, left)) return false;
            }
            return true;
        case Node::kOr:
            for (const auto& k : n.kids) {
                if (eval(*k, attrs, left)) return true;
                if (exhausted(left)) return false;
            }
            return false;
        case Node::kNot:
            return !eval(*n.kids[0], attrs, left) && !exhausted(left);
        default:
            break;
    }
    if (!charge(left, 1)) return false;
    const Attribute* a = findAttribute(attrs, n.tag);
    if (a == nullptr) return false;
    if (n.kind == Node::kPresent) return true;
    for (size_t i = 0; i < a->values.size(); ++i) {
        if (!charge(left, 1 + a->values[i].size() / 64)) return false;
        if (compareValue(n, *a, i)) return true;
    }
    return false;
}

// The keys of an equality item: one per type its assertion value can be read as.
void equalityKeys(const Node& n, std::vector<std::string>* keys) {
    keys->push_back(indexKey(n.tag, ValueType::kString, n.folded));
    if (n.isInt) keys->push_back(indexKey(n.tag, ValueType::kInteger, std::to_string(n.intValue)));
    if (n.folded == "true" || n.folded == "false") {
        keys->push_back(indexKey(n.tag, ValueType::kBoolean, n.folded));
    }
    if (n.isOpaque) keys->push_back(indexKey(n.tag, ValueType::kOpaque, n.opaque));
}

bool plan(const Node& n, const std::function<size_t(const std::string&)>& postingSize,
          std::vector<std::string>* keys, size_t* cost) {
    switch (n.kind) {
        case Node::kEqual:
            equalityKeys(n, keys);
            *cost = 0;
            for (const std::string& k : *keys) *cost += postingSize(k);
            return true;
        case Node::kAnd: {
            // Any one branch's keys will do; the cheapest is taken.
            bool found = false;
            for (const auto& kid : n.kids) {
                std::vector<std::string> k;
                size_t c = 0;
                if (plan(*kid, postingSize, &k, &c) && (!found || c < *cost)) {
                    *keys = std::move(k);
                    *cost = c;
                    found = true;
                }
            }
            return found;
        }
        case Node::kOr:
            // Every branch must narrow, else any registration may match.
            *cost = 0;
            for (const auto& kid : n.kids) {
                std::vector<std::string> k;
                size_t c = 0;
                if (!plan(*kid, postingSize, &k, &c)) return false;
                keys->insert(keys->end(), k.begin(), k.end());
                *cost += c;
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

Filter::Filter() = default;
Filter::~Filter() = default;
Filter::Filter(Filter&&) noexcept = default;
Filter& Filter::operator=(Filter&&) noexcept = default;

bool Filter::parse(const std::string& text, const FilterLimits& limits) {
    mRoot.reset();
    mValid = text.empty();
    if (mValid) return true;
    mRoot = Parser(text, limits).parseAll();
    mValid = mRoot != nullptr;
    return mValid;
}

bool Filter::matches(const std::vector<Attribute>& attrs, WorkBudget* work) const {
    if (!mValid) return false;
    return !mRoot || eval(*mRoot, attrs, work);
}

bool Filter::indexKeys(const std::function<size_t(const std::string&)>& postingSize,
                       std::vector<std::string>* keys) const {
    keys->clear();
    size_t cost = 0;
    return mValid && mRoot && plan(*mRoot, postingSize, keys, &cost);
}

}  // namespace slpda
