// Arbitrary text as "filter\nattribute list", and as a registration file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t nl = text.find('\n');
    std::string filterText = text.substr(0, nl);
    std::string attrText = nl == std::string::npos ? "" : text.substr(nl + 1);

    std::vector<slpda::Attribute> attrs;
    if (slpda::parseAttrList(attrText, &attrs) != slpda::AttrParse::kOk) {
        slpda::parseAttrList("(a=1),(b=x y),(c=true),(d=\\FF\\01),e", &attrs);
    }
    slpda::Filter f;
    f.parse(filterText);
    f.matches(attrs);
    std::vector<std::string> keys;
    f.indexKeys([](const std::string& k) { return k.size(); }, &keys);

    std::vector<slpda::Registration> regs;
    slpda::RegFileError error;
    slpda::parseRegFile(text, {"default"}, {}, &regs, &error);
    return 0;
}
