// Net: the deployment image's link to the site's server.
//
// Brings IPv4 up by DHCP (waiting with a limit) and names the boot by the firmware clock
// (%netstamp%), finds the server (the file server.url in the
// current directory, else the URI the machine booted from), fetches a file from it with HTTP GET
// and sends one with HTTP PUT, checking the server's status code. It writes nothing on the
// machine apart from the file a GET asks for.
#ifndef APPLICATIONS_NET_NET_H
#define APPLICATIONS_NET_NET_H

#include <stddef.h>
#include <stdint.h>

#include "Platform/Platform.h"

#define NET_EXIT_OK 0u
#define NET_EXIT_USAGE 0xC0000001u
#define NET_EXIT_NO_CARD 0xC0000002u     // no network card the firmware can use
#define NET_EXIT_NO_ADDRESS 0xC0000003u  // no address from DHCP within the limit
#define NET_EXIT_NO_SERVER 0xC0000004u   // no usable server URL
#define NET_EXIT_UNREACHABLE 0xC0000005u // no connection or no answer within the limit
#define NET_EXIT_NOT_FOUND 0xC0000006u   // the server answered 404 to a GET
#define NET_EXIT_REFUSED 0xC0000007u     // any other status than success
#define NET_EXIT_FILE 0xC0000008u        // the local file could not be read or written
#define NET_EXIT_TOO_LARGE 0xC0000009u   // the file or the answer exceeds NET_BODY_MAX
#define NET_EXIT_BAD_PATH 0xC000000Au    // the server path is not a plain relative path
#define NET_EXIT_NO_CLOCK 0xC000000Bu    // up: the boot's stamp could not be set
#define NET_EXIT_TLS 0xC000000Cu         // https: no CA, or the server's certificate refused

// The file make-stick may write with the server's URL (first line), read before the boot URI.
#define NET_SERVER_FILE "server.url"
// The shell variable `up` sets to the firmware clock: the boot's stamp in the log's name.
#define NET_STAMP_VARIABLE "netstamp"
// Longest URL, server path and body handled.
#define NET_URL_MAX 512u
#define NET_PATH_MAX 200u
#define NET_BODY_MAX (1024u * 1024u)
// Limits of the waits, in seconds.
#define NET_UP_SECONDS 30u
#define NET_UP_SECONDS_MAX 600u
#define NET_HTTP_SECONDS 20u

// Whether the URL is http://HOST[:PORT]/... or https://HOST[:PORT]/... with a host of
// [A-Za-z0-9.-] and a port of 1-65535.
bool IsServerUrl(const char* pUrl);

// The server's base: the URL up to and including the last '/' (the folder of the image), for a
// URL that IsServerUrl accepts; a query or fragment is dropped first. False when it does not fit.
bool ServerBase(const char* pUrl, char* pBase, size_t Size);

// Whether a server path is relative and plain: not empty, at most NET_PATH_MAX characters of
// [A-Za-z0-9._/-], no leading '/', no empty, "." or ".." segment.
bool IsPlainServerPath(const char* pPath);

// The whole run; returns the exit status.
uint32_t RunNet(int argc, char** argv);

#endif
