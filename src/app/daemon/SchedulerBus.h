// Names of the scheduler service on the session bus, shared by the service
// and its clients. The interface is described in
// resources/org.quorvel.Varid.Scheduler.xml.
#pragma once

namespace quorvel {

inline constexpr const char* kSchedulerBusName = "org.quorvel.Varid";
inline constexpr const char* kSchedulerObjectPath = "/org/quorvel/Varid";
inline constexpr const char* kSchedulerInterface = "org.quorvel.Varid.Scheduler";
inline constexpr const char* kSchedulerInterfaceFile = "org.quorvel.Varid.Scheduler.xml";
inline constexpr const char* kSchedulerNoSuchBackupError = "org.quorvel.Varid.Error.NoSuchBackup";
inline constexpr const char* kSchedulerRefusedError = "org.quorvel.Varid.Error.Refused";

}  // namespace quorvel
