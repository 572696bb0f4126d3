// Values as JSON for the command line's --json output.
#pragma once

#include <nlohmann/json.hpp>

#include "foundation/Value.h"

namespace quorvel {

// Dictionaries keep their entry order. Dates become ISO 8601 texts in UTC
// with milliseconds ("2024-05-01T12:00:00.250Z"), data becomes Base64 text,
// objects their description, keyed-archive UIDs their number.
nlohmann::ordered_json JsonFromValue(const Value& value);

// The ISO 8601 text of a date as JsonFromValue writes it.
std::string IsoTextFromDate(Date date);

}  // namespace quorvel
