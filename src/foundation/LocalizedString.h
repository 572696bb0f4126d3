// String tables: resources/<Table>.strings in the platform's syntax
//
//   /* comment */  // comment
//   "key" = "value";
//   unquotedKey = "value";
//   "key";                      (the value is the key itself)
//
// with the escapes \" \\ \n \t \r \a \b \f \v, octal \ooo and \UXXXX (a
// UTF-16 unit; surrogate pairs combine). A file may be UTF-8 (with or
// without byte-order mark), UTF-16 with a byte-order mark, or a property
// list (XML or binary) holding a dictionary of texts.
//
// Tables are read from the resources folder, ResourcesDirectory(). Each
// table is read once and cached; lookups are safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "foundation/Status.h"
#include "foundation/Data.h"

namespace quorvel {

using StringTable = std::unordered_map<std::string, std::string>;

// The text for key in the table, or the key itself when the table or the
// entry is missing.
std::string LocalizedString(const std::string& table, const std::string& key);

// The text for key, or nothing when the table or the entry is missing.
std::optional<std::string> LookupLocalizedString(const std::string& table, const std::string& key);

// Parses the text of a .strings file. A syntax error is a permanent
// kFormatDomain failure naming the reason and line; a later duplicate key
// replaces an earlier one.
Expected<StringTable> ParseStringsFile(std::string_view text);

// Parses a .strings file's bytes in any of the encodings and forms above.
Expected<StringTable> ParseStringsData(const Data& data);

// Where an installed program keeps its resources, below its prefix: the
// program in PREFIX/bin reads PREFIX/share/quorvel (CMakeLists.txt installs
// them there).
inline constexpr const char* kInstalledResourcesFolder = "share/quorvel";

// The folder tables and the other resources (property lists, the scheduler's
// D-Bus interface) are read from: $QUORVEL_RESOURCES_DIR when set; else
// share/quorvel of the running program's prefix when that folder exists (an
// installed program); else the source tree's resources folder, built in (a
// program run where it was built). Never fails: the folder may be missing,
// and reading from it then finds nothing.
std::string ResourcesDirectory();

// The same rule with its inputs given: environment is the variable's value
// (null when unset), executable the running program's path (empty when
// unknown), builtIn the folder built in.
std::string ResourcesDirectoryFor(const char* environment, const std::string& executable,
                                  const std::string& builtIn);

// Forgets every cached table (tests that change the resources folder).
void ClearLocalizedStringCache();

}  // namespace quorvel
