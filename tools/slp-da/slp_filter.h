#pragma once

// Search filters (the LDAP filter subset SLP uses): and, or, not, equality, presence, substring
// wildcards, less-or-equal, greater-or-equal and approximate (same as equality). Matching follows
// the SLP rules: tags and String values compare case-insensitively with white space folded,
// Integers numerically, Booleans by equality only, Opaque values byte by byte; an absent tag
// makes an item false; a multi-valued attribute satisfies an item when one of its values does.
// A parsed Filter is immutable and may be used from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "slp_attr.h"

namespace slpda {

// How large a filter may be. Evaluating a filter against one registration costs at most about
// one attribute lookup and one value comparison per leaf and value, so the leaves bound a
// lookup's work together with the registrations' size.
struct FilterLimits {
    int maxDepth = 8;    // nesting of parenthesised filters, the outermost counting 1
    int maxLeaves = 32;  // comparisons (items) in the whole filter
};

// The work a lookup may still do, in comparisons.
struct WorkBudget {
    size_t left = SIZE_MAX;
    bool over = false;  // some work could not be paid for

    bool take(size_t cost) {
        if (cost > left) {
            left = 0;
            over = true;
            return false;
        }
        left -= cost;
        return true;
    }
};

class Filter {
public:
    Filter();
    ~Filter();
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;

    // Parses text; false when it is malformed or exceeds the limits (the request then gets
    // PARSE_ERROR). The empty text is valid and matches everything. A blank next to an item's
    // value (after the operator or before the closing parenthesis) makes the filter malformed.
    bool parse(const std::string& text, const FilterLimits& limits = FilterLimits());
    // False for a filter that failed to parse. attrs must be sorted by tag (parseAttrList's
    // order). With work, every item tried costs 1 and every value compared 1 more per 64 bytes;
    // when the budget cannot pay, matching stops with false and work->over set.
    bool matches(const std::vector<Attribute>& attrs, WorkBudget* work = nullptr) const;

    // Equality-index keys (indexKey) such that every attribute set the filter matches holds at
    // least one of them; false when there are none (an empty, presence-only or negated filter):
    // then every registration must be tried. Among the branches of an "and" the one whose keys
    // are cheapest by postingSize(key) is taken.
    bool indexKeys(const std::function<size_t(const std::string&)>& postingSize,
                   std::vector<std::string>* keys) const;

    struct Node;

private:
    std::unique_ptr<Node> mRoot;  // null: match everything (when valid)
    bool mValid = true;
};

}  // namespace slpda
