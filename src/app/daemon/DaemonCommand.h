// The command line's scheduler verbs:
//
//   quorvel daemon [--install | --uninstall]
//       runs the scheduler service in the foreground (one per user: a second
//       one names the running one and exits 1); --install writes and enables
//       a systemd user unit (~/.config/systemd/user/quorvel.service) when a
//       user manager runs, else an XDG autostart entry, plus a D-Bus service
//       file so that front ends can start it; --uninstall removes them
//   quorvel status [--json]
//       every backup's state, next run and last result (from the scheduler
//       when it runs, else from the settings)
//   quorvel log NAME [--json]
//       the scheduler's recent lines for a backup
//   quorvel queue|cancel|suspend|resume|retry NAME
//       the scheduler's actions on a backup (a scheduler must run)
//
//   quorvel gui [ARGUMENTS...]
//       runs the desktop front end, quorvel-gui, from the folder of this
//       program (it starts the scheduler when none runs)
//
// The scheduler quits on SIGTERM or SIGINT: running commands are cancelled,
// their clean-up and results are waited for, settings are saved, and the
// process exits 0 (a second signal ends it at once with status 1).
//
// Test settings, read from the environment: QUORVEL_TEST_CLOCK=1 lets
// AdvanceClock move the scheduling clock; QUORVEL_CONNECTION_DELAY (seconds)
// replaces the 30 s between a destination becoming reachable and its run.
#pragma once

namespace quorvel {

int RunDaemonCommand(int argc, char** argv);
int RunStatusCommand(int argc, char** argv);
int RunLogCommand(int argc, char** argv);
// Replaces this process with quorvel-gui; answers only when that fails.
int RunDesktopFrontEnd(int argc, char** argv);
// queue, cancel, suspend, resume, retry NAME: the scheduler's actions.
bool IsSchedulerActionWord(const char* word);
int RunSchedulerActionCommand(int argc, char** argv);

}  // namespace quorvel
