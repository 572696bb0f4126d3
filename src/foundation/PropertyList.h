// Property lists in the platform's two stored forms: XML ("<plist
// version="1.0">") and binary ("bplist00"), converted to and from Value.
//
// Readers accept any input: garbage, truncated or hostile data answers
// nothing (with a reason in *error when given), never crashes, and never
// allocates more than a small multiple of the input size. Dictionary keys
// keep their stored order.
//
// Type mapping:
//   Bool, Integer (signed 64-bit), Unsigned (above INT64_MAX, up to 2^64-1),
//   Real, String (UTF-8), Data, Date, Array, Dictionary: both forms.
//   Uid: binary type 0x8; in XML the platform's <dict><key>CF$UID</key>
//   <integer>N</integer></dict>, which reads back as a Uid.
//   Null: binary marker 0x00 (read back as Null); XML cannot hold it.
//   Object: cannot be written; keyed archives handle objects.
//   Binary sets and ordered sets read as arrays.
// Texts that are not well-formed UTF-8 (file names of other encodings) are
// written to binary lists as UTF-16 with each stray byte kept as a lone
// surrogate U+DC80..U+DCFF, which reads back to the same bytes; XML lists get
// U+FFFD in their place.
#pragma once

#include <optional>
#include <string>

#include "foundation/Data.h"
#include "foundation/Value.h"

namespace quorvel::PropertyList {

enum class Format { Xml, Binary };

std::optional<Value> readXml(const Data& data, std::string* error = nullptr);
std::optional<Value> readBinary(const Data& data, std::string* error = nullptr);

// Reads either form: "bplist00" at the start selects the binary reader.
// *format (when given) tells which form was found.
std::optional<Value> read(const Data& data, std::string* error = nullptr, Format* format = nullptr);

// True when the data starts with the binary header "bplist00".
bool isBinary(const Data& data);

// The XML form: UTF-8, tab-indented, with the platform's header and DOCTYPE.
// Empty data when the value (or something inside it) cannot be stored.
Data writeXml(const Value& value, std::string* error = nullptr);

// The binary form. Equal strings, numbers, dates and data are stored once.
// Empty data when the value (or something inside it) cannot be stored.
Data writeBinary(const Value& value, std::string* error = nullptr);

Data write(const Value& value, Format format, std::string* error = nullptr);

// Whole-file conveniences. writeFile replaces the file atomically (a
// temporary file in the same folder renamed over it).
std::optional<Value> readFile(const std::string& path, std::string* error = nullptr,
                              Format* format = nullptr);
bool writeFile(const std::string& path, const Value& value, Format format, std::string* error = nullptr);

}  // namespace quorvel::PropertyList
