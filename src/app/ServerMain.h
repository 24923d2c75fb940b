// The program flow of zorvic-server: start-up, the console loop and tear-down.
//
// Start-up, in order: parse the command line; block SIGTERM and SIGINT (they are read from a
// signalfd by the console loop, so no work runs inside a signal handler) and ignore SIGPIPE;
// raise the open-file limit (DescriptorLimit.h); find the program folder; open
// ServerOptions.ini; decide the mode (always console mode here); create the folders Data,
// Users, Temp and Updates; create the shared query; open versions.ini; bootstrap the shared
// database (SharedDatabase.h); create the server; run the console loop until "quit" or a stop
// signal; shut the server down; tear down: the server, the shared database, the INI files.
//
// Exit status: 0 after an orderly stop; 1 when start-up failed ("Exception in Main Function: "
// and the message on the console) or when session threads did not end in time at shutdown;
// 2 for a bad command line.
//
// Thread safety: runs on the main thread, once per process.
#pragma once

namespace zorvic {

int ZorvicServerMain(int argc, char** argv);

}  // namespace zorvic
