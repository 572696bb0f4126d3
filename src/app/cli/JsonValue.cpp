#include "app/cli/JsonValue.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "foundation/DataTransforms.h"

namespace quorvel {

std::string IsoTextFromDate(Date date) {
  double unixTime = date.timeIntervalSince1970();
  double wholeSeconds = std::floor(unixTime);
  long long milliseconds = std::llround((unixTime - wholeSeconds) * 1000.0);
  if (milliseconds == 1000) {
    wholeSeconds += 1;
    milliseconds = 0;
  }
  std::time_t seconds = static_cast<std::time_t>(wholeSeconds);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
  return text;
}

nlohmann::ordered_json JsonFromValue(const Value& value) {
  using Json = nlohmann::ordered_json;
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Bool:
      return value.asBool();
    case Value::Type::Integer:
      return value.asInt();
    case Value::Type::Unsigned:
      return value.asUInt();
    case Value::Type::Real: {
      double number = value.asDouble();
      // JSON has no NaN or infinity.
      if (!std::isfinite(number)) return nullptr;
      return number;
    }
    case Value::Type::String:
      return value.asString();
    case Value::Type::Data:
      return DataTransforms::encodeBase64(value.asData()).value_or(std::string());
    case Value::Type::Date:
      return IsoTextFromDate(value.asDate());
    case Value::Type::Array: {
      Json array = Json::array();
      for (const Value& element : value.asArray()) array.push_back(JsonFromValue(element));
      return array;
    }
    case Value::Type::Dictionary: {
      Json object = Json::object();
      for (const auto& [key, element] : value.asDictionary()) object[key] = JsonFromValue(element);
      return object;
    }
    case Value::Type::Uid:
      return value.asUid().value;
    case Value::Type::Object:
      return value.asObject()->description();
  }
  return nullptr;
}

}  // namespace quorvel
