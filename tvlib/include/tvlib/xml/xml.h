// Additions over TinyXML (built with standard strings): rendering into a text
// instead of a file, the UTF-8 byte-order mark, and 32/64-bit attributes.
//
// Stateless functions over TinyXML's public classes; the caller owns the
// documents and serialises access to each. The rendered bytes are a stored
// format (configuration files that client programs read): lines end in "\n"
// only, four spaces indent each level, and the text is written by the caller
// with its own unbuffered write rather than TiXmlDocument::SaveFile.
#pragma once

#include <cstdint>
#include <string>

#include "tinyxml.h"

// Appends `node` and its subtree at `depth` (four spaces per level).
void PrintToString(const TiXmlNode* node, std::string& out, int depth);

// Appends the whole document, each top-level node on its own line, preceded
// by the bytes EF BB BF when `byteOrderMark` is set. TinyXML does not tell
// whether a loaded file began with the mark; see LoadXmlFile. Always true.
bool SaveToString(const TiXmlDocument& document, std::string& out, bool byteOrderMark = false);

// True when the file exists and begins with the UTF-8 byte-order mark.
bool FileHasUtf8ByteOrderMark(const std::string& path);

// TiXmlDocument::LoadFile, also reporting (in `hadByteOrderMark`, optional)
// whether the file began with the UTF-8 byte-order mark, so that a save can
// keep it.
bool LoadXmlFile(TiXmlDocument& document, const std::string& path, TiXmlEncoding encoding,
                 bool* hadByteOrderMark);

// The attribute's text, or null when missing. When present and `out` is not
// null, `out` receives the number read in base 10 (0 when the text does not
// start with a number); a missing attribute leaves `out` untouched.
const char* Attribute(const TiXmlElement* element, const char* name, uint32_t* out);
const char* Attribute(const TiXmlElement* element, const char* name, int64_t* out);
const char* Attribute(const TiXmlElement* element, const char* name, uint64_t* out);

// Sets (replaces or appends) the attribute to the number in decimal. Pass
// exactly these types: an `unsigned long` argument is ambiguous here.
void SetAttribute(TiXmlElement* element, const char* name, uint32_t value);
void SetAttribute(TiXmlElement* element, const char* name, int64_t value);
void SetAttribute(TiXmlElement* element, const char* name, uint64_t value);
void SetAttribute(TiXmlElement* element, const std::string& name, int64_t value);
void SetAttribute(TiXmlElement* element, const std::string& name, uint64_t value);
