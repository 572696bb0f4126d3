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
#include "foundation/DecodeBudget.h"
#include "foundation/Status.h"
#include "foundation/Value.h"

namespace quorvel::PropertyList {

enum class Format { Xml, Binary };

// Readers answer the value, or a permanent kPropertyListDomain failure that
// says what is wrong and where.
Expected<Value> readXml(const Data& data);
Expected<Value> readBinary(const Data& data);

// Reads either form: "bplist00" at the start selects the binary reader.
// *format (when given) tells which form was found.
Expected<Value> read(const Data& data, Format* format = nullptr);
// The same for data whose reading must stay within a budget: every value
// read is charged, and for XML everything the parser allocates. A list that
// does not fit is refused ("larger than its budget" or "out of memory");
// the budget keeps what is left for the caller's further decoding.
Expected<Value> read(const Data& data, DecodeBudget& budget, Format* format = nullptr);

// True when the data starts with the binary header "bplist00".
bool isBinary(const Data& data);

// The XML form: UTF-8, tab-indented, with the platform's header and DOCTYPE.
// A failure when the value (or something inside it) cannot be stored.
Expected<Data> writeXml(const Value& value);

// The binary form. Equal strings, numbers, dates and data are stored once.
// A failure when the value (or something inside it) cannot be stored.
Expected<Data> writeBinary(const Value& value);

Expected<Data> write(const Value& value, Format format);

// Whole-file conveniences. writeFile replaces the file atomically and synced
// (see WriteFileAtomically); a file that cannot be read or replaced is a
// kPosixDomain failure.
Expected<Value> readFile(const std::string& path, Format* format = nullptr);
Status writeFile(const std::string& path, const Value& value, Format format);

}  // namespace quorvel::PropertyList
