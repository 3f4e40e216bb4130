// Small blocking socket helpers the network services share: addresses,
// whole sends and receives (a receive that gives up once a stop event is
// set), and sending small frames at once.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

// "a.b.c.d:port".
std::string AddressText(const sockaddr_in &address);
// An IPv4 address of a host name or dotted address; false when unknown.
bool ResolveAddress(const std::string &host, uint16_t port, sockaddr_in *address);
bool SendWhole(SOCKET socket, const uint8_t *data, size_t count);
// Reads exactly `count` bytes; with `stop`, gives up once it is set, and
// with a deadline (GetTickCount() value, 0: none) once it has passed.
bool ReceiveWhole(SOCKET socket, uint8_t *data, size_t count, HANDLE stop = nullptr, DWORD deadline = 0);
// Small request and reply frames must leave at once, not wait for more.
void SendAtOnce(SOCKET socket);
