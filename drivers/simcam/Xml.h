// A small, strict XML reader for the configuration texts the driver
// accepts (no DTDs, no namespaces processing), and a few writing helpers.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace simcam {

class XmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;  // the character data directly inside, concatenated
    std::vector<XmlElement> children;

    const XmlElement* Child(std::string_view childName) const;
    std::vector<const XmlElement*> Children(std::string_view childName) const;
    const std::string* Attribute(std::string_view attributeName) const;
};

// Parses one document; throws XmlError naming what is wrong.
XmlElement ParseXml(std::string_view text);

// The text with surrounding white space removed.
std::string_view Trim(std::string_view text);

}  // namespace simcam
