#pragma once

// Search filters (the LDAP filter subset SLP uses): and, or, not, equality, presence, substring
// wildcards, less-or-equal, greater-or-equal and approximate (same as equality). Matching follows
// the SLP rules: tags and String values compare case-insensitively with white space folded,
// Integers numerically, Booleans by equality only, Opaque values byte by byte; an absent tag
// makes an item false; a multi-valued attribute satisfies an item when one of its values does.
// A parsed Filter is immutable and may be used from any thread.

#include <memory>
#include <string>
#include <vector>

#include "slp_attr.h"

namespace slpda {

class Filter {
public:
    Filter();
    ~Filter();
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;

    // Parses text; false when it is malformed (the request then gets PARSE_ERROR). The empty
    // text is valid and matches everything. Nesting deeper than kMaxDepth is refused.
    bool parse(const std::string& text);
    // False for a filter that failed to parse.
    bool matches(const std::vector<Attribute>& attrs) const;

    static constexpr int kMaxDepth = 32;

    struct Node;

private:
    std::unique_ptr<Node> mRoot;  // null: match everything (when valid)
    bool mValid = true;
};

}  // namespace slpda
