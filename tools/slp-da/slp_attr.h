#pragma once

// Attribute lists of registrations: "(tag=value[,value...])" items and bare keywords joined by
// commas, with \HH escapes. Pure functions; any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace slpda {

// The type a value's text implies; all values of one attribute share it.
enum class ValueType { kString, kInteger, kBoolean, kOpaque };

struct Attribute {
    std::string tag;      // folded, for comparison
    bool keyword = true;  // a tag without values
    ValueType type = ValueType::kString;
    // Per value, by type: String = folded text; Opaque = the bytes after the \FF marker;
    // Boolean = "true" or "false"; Integer = its decimal text, also held in ints.
    std::vector<std::string> values;
    std::vector<int64_t> ints;
};

enum class AttrParse {
    kOk,
    kParseError,  // structure, a bad escape, an empty tag
    kTypeError,   // one attribute with values of different types
};

// Parses an attribute list into attributes sorted by tag. Repeated tags are merged. Blanks
// around items are ignored.
AttrParse parseAttrList(const std::string& text, std::vector<Attribute>* out);

// Sorts attributes by tag, the order findAttribute needs.
void sortAttributes(std::vector<Attribute>* attrs);

// The number of values and keywords, which limits on a registration's size count.
size_t attributeCount(const std::vector<Attribute>& attrs);

// The bytes of the attributes in their stored form: each tag and value and one byte after each.
// Never more than the list they were parsed from, so a registration that came in one message
// measures less than that message.
size_t attributeBytes(const std::vector<Attribute>& attrs);

// Reads an SLP Integer: optional '-', decimal digits, within 32 bits, blanks around it allowed.
bool parseSlpInteger(const std::string& text, int64_t* out);

// Reads an Opaque value ("\FF" followed only by escapes) into its bytes.
bool parseOpaque(const std::string& raw, std::string* bytes);

// Finds an attribute by its folded tag in attributes sorted by tag; null when absent.
const Attribute* findAttribute(const std::vector<Attribute>& attrs, const std::string& foldedTag);

// The key under which a registration holding `value` (in its stored form) for the folded tag is
// found in the store's equality index. Values of different types never share a key.
std::string indexKey(const std::string& foldedTag, ValueType type, const std::string& value);

}  // namespace slpda
