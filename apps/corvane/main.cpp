// corvane: the media service daemon. Clients start it (directly or through
// D-Bus activation), register with it and call its services on the session
// bus; it exits when the last registered client has said goodbye.

#include "host/AppDelegate.h"

int main(int argc, char** argv) { return corvane::host::applicationMain(argc, argv); }
