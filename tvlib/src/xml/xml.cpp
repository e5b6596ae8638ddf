#include "tvlib/xml/xml.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char kUtf8Bom[] = "\xEF\xBB\xBF";

void Indent(std::string& out, int depth) {
  for (int i = 0; i < depth; ++i) out.append("    ");
}

void AppendEncoded(std::string& out, const std::string& text) { TiXmlBase::EncodeString(text, &out); }

void PrintAttribute(const TiXmlAttribute* attribute, std::string& out) {
  AppendEncoded(out, attribute->NameTStr());
  // The value is escaped either way (a '"' becomes &quot;); the single quotes
  // only follow TinyXML's own choice so that files stay byte-identical.
  const bool hasDoubleQuote = attribute->ValueStr().find('"') != std::string::npos;
  const char quote = hasDoubleQuote ? '\'' : '"';
  out += '=';
  out += quote;
  AppendEncoded(out, attribute->ValueStr());
  out += quote;
}

void PrintDeclarationPart(std::string& out, const char* key, const char* value) {
  if (value == nullptr || *value == '\0') return;
  out.append(key);
  out += '"';
  out.append(value);
  out.append("\" ");
}

void PrintElement(const TiXmlElement* element, std::string& out, int depth) {
  Indent(out, depth);
  out += '<';
  AppendEncoded(out, element->ValueStr());
  for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
    out += ' ';
    PrintAttribute(a, out);
  }
  const TiXmlNode* first = element->FirstChild();
  if (first == nullptr) {
    out.append(" />");
    return;
  }
  if (first == element->LastChild() && first->ToText() != nullptr) {
    out += '>';
    PrintToString(first, out, depth + 1);
    out.append("</");
    AppendEncoded(out, element->ValueStr());
    out += '>';
    return;
  }
  out += '>';
  for (const TiXmlNode* child = first; child != nullptr; child = child->NextSibling()) {
    if (child->ToText() == nullptr) out += '\n';
    PrintToString(child, out, depth + 1);
  }
  out += '\n';
  Indent(out, depth);
  out.append("</");
  AppendEncoded(out, element->ValueStr());
  out += '>';
}

}  // namespace

void PrintToString(const TiXmlNode* node, std::string& out, int depth) {
  if (node == nullptr) return;
  switch (node->Type()) {
    case TiXmlNode::TINYXML_DOCUMENT:
      for (const TiXmlNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
        PrintToString(child, out, 0);
        out += '\n';
      }
      break;
    case TiXmlNode::TINYXML_DECLARATION: {
      const TiXmlDeclaration* declaration = node->ToDeclaration();
      out.append("<?xml ");
      PrintDeclarationPart(out, "version=", declaration->Version());
      PrintDeclarationPart(out, "encoding=", declaration->Encoding());
      PrintDeclarationPart(out, "standalone=", declaration->Standalone());
      out.append("?>");
      break;
    }
    case TiXmlNode::TINYXML_COMMENT:
      Indent(out, depth);
      out.append("<!--");
      out.append(node->ValueStr());
      out.append("-->");
      break;
    case TiXmlNode::TINYXML_UNKNOWN:
      Indent(out, depth);
      out += '<';
      out.append(node->ValueStr());
      out += '>';
      break;
    case TiXmlNode::TINYXML_TEXT: {
      const TiXmlText* text = node->ToText();
      if (text->CDATA()) {
        out.append("<![CDATA[");
        out.append(text->ValueStr());
        out.append("]]>");
      } else {
        AppendEncoded(out, text->ValueStr());
      }
      break;
    }
    case TiXmlNode::TINYXML_ELEMENT: PrintElement(node->ToElement(), out, depth); break;
    default: break;
  }
}

bool SaveToString(const TiXmlDocument& document, std::string& out, bool byteOrderMark) {
  if (byteOrderMark) out.append(kUtf8Bom, 3);
  for (const TiXmlNode* child = document.FirstChild(); child != nullptr; child = child->NextSibling()) {
    PrintToString(child, out, 0);
    out += '\n';
  }
  return true;
}

bool FileHasUtf8ByteOrderMark(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char head[3] = {};
  size_t n = fread(head, 1, sizeof head, file);
  fclose(file);
  return n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
}

bool LoadXmlFile(TiXmlDocument& document, const std::string& path, TiXmlEncoding encoding,
                 bool* hadByteOrderMark) {
  // TinyXML records the mark only when parsing with an unknown encoding, and
  // keeps even that private: look at the file ourselves.
  if (hadByteOrderMark != nullptr) *hadByteOrderMark = FileHasUtf8ByteOrderMark(path);
  return document.LoadFile(path.c_str(), encoding);
}

const char* Attribute(const TiXmlElement* element, const char* name, uint32_t* out) {
  const char* text = element != nullptr ? element->Attribute(name) : nullptr;
  // strtoul is 32-bit on Windows, which is what this overload wants.
  if (text != nullptr && out != nullptr) *out = static_cast<uint32_t>(strtoul(text, nullptr, 10));
  return text;
}

const char* Attribute(const TiXmlElement* element, const char* name, int64_t* out) {
  const char* text = element != nullptr ? element->Attribute(name) : nullptr;
  if (text != nullptr && out != nullptr) *out = static_cast<int64_t>(strtoll(text, nullptr, 10));
  return text;
}

const char* Attribute(const TiXmlElement* element, const char* name, uint64_t* out) {
  const char* text = element != nullptr ? element->Attribute(name) : nullptr;
  if (text != nullptr && out != nullptr) *out = static_cast<uint64_t>(strtoull(text, nullptr, 10));
  return text;
}

void SetAttribute(TiXmlElement* element, const char* name, uint32_t value) {
  if (element == nullptr) return;
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(value));
  element->SetAttribute(name, buffer);
}

void SetAttribute(TiXmlElement* element, const char* name, int64_t value) {
  if (element == nullptr) return;
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
  element->SetAttribute(name, buffer);
}

void SetAttribute(TiXmlElement* element, const char* name, uint64_t value) {
  if (element == nullptr) return;
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(value));
  element->SetAttribute(name, buffer);
}

void SetAttribute(TiXmlElement* element, const std::string& name, int64_t value) {
  SetAttribute(element, name.c_str(), value);
}

void SetAttribute(TiXmlElement* element, const std::string& name, uint64_t value) {
  SetAttribute(element, name.c_str(), value);
}
