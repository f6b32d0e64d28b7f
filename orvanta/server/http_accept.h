// Accepting connections: the listening socket's callback on pump workers, the main thread's
// part in resuming after a pause, and taking what the kernel completed before a stop.
#pragma once

struct HttpServer;

// Registers the listening socket with the registry; false with errno set. Once only.
bool StartAccepting(HttpServer& server);
// Main thread: puts the socket back when a pause is over; how long it may sleep (-1: until woken).
int ResumeAccepting(HttpServer& server);
// At stop, once the socket is out: connections the kernel completed before then carry
// requests, so they are taken and served.
void AcceptPending(HttpServer& server);
