// The conditions under which a backup's scheduled run is skipped: the
// user's predicate over the weekday, the day of the month, the network and
// the power source, evaluated with the values of the moment.
#pragma once

#include <optional>

#include "foundation/Date.h"
#include "foundation/Predicate.h"
#include "foundation/Value.h"
#include "model/platform/NetworkConfiguration.h"

namespace quorvel {

// The values a schedule condition is evaluated with:
//   "WEEK_DAY"          local weekday of `now`, 0 = Sunday ... 6 = Saturday
//   "MONTH_DAY"         local day of the month, 1 to 31
//   "NETWORK_LOCATION"  the network location's name     } left out when
//   "AIRPORT_NETWORK"   the Wi-Fi network's name         } there is none
//   "DNS_DOMAIN"        the DNS domain                   }
//   "IP_ADDRESS"        the first of the machine's addresses }
//   "POWER_SOURCE"      1 on battery, else 0
Dictionary ScheduleConditionVariables(Date now, const NetworkConfiguration& network, const PowerState& power);

// Whether the conditions let a scheduled run go ahead: with no predicate,
// yes; else NOT(the prepared predicate) with the variables. A predicate that
// prepares to nothing (a network service condition while no service is
// active) says no. `networkServices` is NetworkConfiguration::allInterfaces.
bool ScheduleConditionsAllow(const PredicatePtr& schedulePredicate, const Dictionary& variables,
                             const std::optional<Dictionary>& networkServices);

}  // namespace quorvel
