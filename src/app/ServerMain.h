// The program flow of zorvic-server: start-up, the console loop and tear-down.
//
// Start-up, in order: parse the command line; block SIGTERM and SIGINT (they are read from a
// signalfd by the console loop, so no work runs inside a signal handler) and ignore SIGPIPE;
// raise the open-file limit (DescriptorLimit.h); find the program folder; open
// ServerOptions.ini; decide the mode; create the folders Data, Users, Temp and Updates; create
// the shared query; open versions.ini; bootstrap the shared database (SharedDatabase.h); then
// by mode:
//   - INSTALL or UNINSTALL: write or remove the service's unit file (Service.h), show the
//     result unless SILENT is given, and exit without serving;
//   - service (RunAsService set and started by the service manager): create the server with
//     no console output, report READY=1 once its listener runs, wait for SIGTERM (or SIGINT),
//     report STOPPING=1 and shut the server down; a listener that cannot be set up ends the
//     process with status 1 so that the manager starts it again;
//   - console (otherwise; RunAsService set outside the service manager says so on standard
//     error first): create the server, run the console loop until "quit" or a stop signal.
// Then shut the server down and tear down: the server, the shared database, the INI files.
//
// Exit status: 0 after an orderly stop or a successful INSTALL or UNINSTALL; 1 when start-up
// failed ("Exception in Main Function: " and the message on the console, or on standard error
// in service mode), when INSTALL or UNINSTALL failed, when a service's listener could not be
// set up, or when session threads did not end in time at shutdown; 2 for a bad command line.
//
// Thread safety: runs on the main thread, once per process.
#pragma once

namespace zorvic {

int ZorvicServerMain(int argc, char** argv);

}  // namespace zorvic
