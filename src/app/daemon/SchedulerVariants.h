// Conversions between the scheduler service's D-Bus values and Value, shared
// by its clients.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Value.h"

typedef struct _GVariant GVariant;

namespace quorvel {

// A command argument as the service takes it (booleans, texts, arrays of
// texts); null for any other kind of value. The result is floating.
GVariant* VariantFromArgument(const Value& value);
// The a{sv} of a command's arguments (floating).
GVariant* VariantFromArguments(const Dictionary& arguments);
// A value of ListBackups' entries (texts, booleans, integers, doubles);
// null Value for any other type.
Value ValueFromVariant(GVariant* variant);
// An a{sv} as a dictionary.
Dictionary DictionaryFromVariant(GVariant* dictionary);

// The parameters of the Finished signal, (sibayas).
struct FinishedSignal {
  std::string uuid;
  int command = 0;
  bool cancelled = false;
  std::optional<Dictionary> results;  // nothing when the command never started
  std::vector<std::string> errorMessages;
};
std::optional<FinishedSignal> ReadFinishedSignal(GVariant* parameters);

}  // namespace quorvel
