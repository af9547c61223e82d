#pragma once

// SIGTERM, SIGHUP and SIGINT (a service stopped, a session ending, Ctrl-C)
// end the event loop as an ordinary quit does, so that what the program
// keeps in hand (a history not yet written, sockets to remove) is dealt
// with on the way out. The signal handler only writes a byte to a socket
// pair; the event loop does the rest.
void quitOnTerminationSignals();
