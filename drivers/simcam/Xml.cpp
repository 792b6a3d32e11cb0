#include "Xml.h"

#include "Text.h"

#include <cstdint>

namespace simcam {
namespace {

constexpr int kMaxDepth = 64;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    XmlElement Document()
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF")
            m_pos = 3;
        SkipMisc();
        if (AtEnd() || Peek() != '<')
            Fail("no root element");
        XmlElement root = Element(0);
        SkipMisc();
        if (!AtEnd())
            Fail("content after the root element");
        return root;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const
    {
        throw XmlError(what + " at offset " + std::to_string(m_pos));
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return m_text[m_pos]; }
    bool StartsWith(std::string_view s) const { return m_text.substr(m_pos, s.size()) == s; }

    void Expect(std::string_view s)
    {
        if (!StartsWith(s))
            Fail("expected '" + std::string(s) + "'");
        m_pos += s.size();
    }

    void SkipSpace()
    {
        while (!AtEnd() && IsSpace(Peek()))
            ++m_pos;
    }

    void SkipPast(std::string_view terminator, const char* what)
    {
        const size_t end = m_text.find(terminator, m_pos);
        if (end == std::string_view::npos)
            Fail(std::string("unterminated ") + what);
        m_pos = end + terminator.size();
    }

    // White space, comments and processing instructions outside the root.
    void SkipMisc()
    {
        for (;;) {
            SkipSpace();
            if (StartsWith("<?"))
                SkipPast("?>", "processing instruction");
            else if (StartsWith("<!--"))
                SkipPast("-->", "comment");
            else if (StartsWith("<!"))
                Fail("document type declarations are not accepted");
            else
                return;
        }
    }

    std::string Name()
    {
        if (AtEnd() || !IsNameStart(Peek()))
            Fail("expected a name");
        const size_t start = m_pos;
        while (!AtEnd() && IsNameChar(Peek()))
            ++m_pos;
        return std::string(m_text.substr(start, m_pos - start));
    }

    void Reference(std::string& out)
    {
        const size_t end = m_text.find(';', m_pos);
        if (end == std::string_view::npos || end - m_pos > 12)
            Fail("bad entity reference");
        const std::string_view ref = m_text.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        if (ref == "lt")
            out.push_back('<');
        else if (ref == "gt")
            out.push_back('>');
        else if (ref == "amp")
            out.push_back('&');
        else if (ref == "quot")
            out.push_back('"');
        else if (ref == "apos")
            out.push_back('\'');
        else if (ref.size() > 1 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty())
                Fail("bad character reference");
            uint32_t cp = 0;
            for (char c : digits) {
                int v = -1;
                if (c >= '0' && c <= '9')
                    v = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    v = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    v = c - 'A' + 10;
                if (v < 0)
                    Fail("bad character reference");
                cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
                if (cp > 0x10FFFF)
                    Fail("bad character reference");
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
                Fail("bad character reference");
            AppendUtf8(out, cp);
        } else {
            Fail("unknown entity");
        }
    }

    std::string AttributeValue()
    {
        if (AtEnd() || (Peek() != '"' && Peek() != '\''))
            Fail("expected a quoted value");
        const char quote = m_text[m_pos++];
        std::string value;
        for (;;) {
            if (AtEnd())
                Fail("unterminated attribute value");
            const char c = Peek();
            if (c == quote) {
                ++m_pos;
                return value;
            }
            if (c == '<')
                Fail("'<' in an attribute value");
            if (c == '&')
                Reference(value);
            else {
                value.push_back(c);
                ++m_pos;
            }
        }
    }

    XmlElement Element(int depth)
    {
        if (depth >= kMaxDepth)
            Fail("elements nested too deeply");
        Expect("<");
        XmlElement element;
        element.name = Name();
        for (;;) {
            const size_t before = m_pos;
            SkipSpace();
            if (AtEnd())
                Fail("unterminated start tag");
            if (StartsWith("/>")) {
                m_pos += 2;
                return element;
            }
            if (Peek() == '>') {
                ++m_pos;
                break;
            }
            if (m_pos == before)
                Fail("expected white space before an attribute");
            std::string name = Name();
            SkipSpace();
            Expect("=");
            SkipSpace();
            if (element.Attribute(name) != nullptr)
                Fail("duplicate attribute '" + name + "'");
            element.attributes.emplace_back(std::move(name), AttributeValue());
        }
        Content(element, depth);
        return element;
    }

    void Content(XmlElement& element, int depth)
    {
        for (;;) {
            if (AtEnd())
                Fail("unterminated element '" + element.name + "'");
            if (StartsWith("</")) {
                m_pos += 2;
                if (Name() != element.name)
                    Fail("mismatched end tag of '" + element.name + "'");
                SkipSpace();
                Expect(">");
                return;
            }
            if (StartsWith("<!--")) {
                SkipPast("-->", "comment");
            } else if (StartsWith("<![CDATA[")) {
                m_pos += 9;
                const size_t end = m_text.find("]]>", m_pos);
                if (end == std::string_view::npos)
                    Fail("unterminated CDATA section");
                element.text.append(m_text.substr(m_pos, end - m_pos));
                m_pos = end + 3;
            } else if (StartsWith("<?")) {
                SkipPast("?>", "processing instruction");
            } else if (Peek() == '<') {
                element.children.push_back(Element(depth + 1));
            } else if (Peek() == '&') {
                Reference(element.text);
            } else {
                element.text.push_back(Peek());
                ++m_pos;
            }
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

}  // namespace

const XmlElement* XmlElement::Child(std::string_view childName) const
{
    for (const XmlElement& c : children)
        if (c.name == childName)
            return &c;
    return nullptr;
}

std::vector<const XmlElement*> XmlElement::Children(std::string_view childName) const
{
    std::vector<const XmlElement*> found;
    for (const XmlElement& c : children)
        if (c.name == childName)
            found.push_back(&c);
    return found;
}

const std::string* XmlElement::Attribute(std::string_view attributeName) const
{
    for (const auto& [name, value] : attributes)
        if (name == attributeName)
            return &value;
    return nullptr;
}

XmlElement ParseXml(std::string_view text) { return Parser(text).Document(); }

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace simcam
