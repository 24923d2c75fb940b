// zorvic-server: the messaging server in console mode. See app/ServerMain.h.
#include "app/ServerMain.h"

int main(int argc, char** argv) {
  return zorvic::ZorvicServerMain(argc, argv);
}
