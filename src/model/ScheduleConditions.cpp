#include "model/ScheduleConditions.h"

#include <cmath>
#include <ctime>

#include "model/PredicateConversion.h"

namespace quorvel {

Dictionary ScheduleConditionVariables(Date now, const NetworkConfiguration& network, const PowerState& power) {
  Dictionary variables;
  const auto seconds = static_cast<std::time_t>(std::floor(now.timeIntervalSince1970()));
  std::tm local{};
  localtime_r(&seconds, &local);
  variables.set("WEEK_DAY", static_cast<std::int64_t>(local.tm_wday));
  variables.set("MONTH_DAY", static_cast<std::int64_t>(local.tm_mday));
  if (std::optional<std::string> location = network.locationName()) variables.set("NETWORK_LOCATION", *location);
  if (std::optional<std::string> wifi = network.airportNetworkName()) variables.set("AIRPORT_NETWORK", *wifi);
  if (std::optional<std::string> domain = network.dnsDomainName()) variables.set("DNS_DOMAIN", *domain);
  const std::vector<std::string> addresses = network.networkAddresses();
  if (!addresses.empty()) variables.set("IP_ADDRESS", addresses.front());
  variables.set("POWER_SOURCE", static_cast<std::int64_t>(power.runningOnBattery ? 1 : 0));
  return variables;
}

bool ScheduleConditionsAllow(const PredicatePtr& schedulePredicate, const Dictionary& variables,
                             const std::optional<Dictionary>& networkServices) {
  if (!schedulePredicate) return true;
  PredicatePtr prepared = PreparePredicate(schedulePredicate, networkServices);
  if (!prepared) return false;
  return !prepared->evaluateWithObject(Value(), variables);
}

}  // namespace quorvel
