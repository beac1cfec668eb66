// Net: the deployment image's link to the site's server.
//
// Brings IPv4 up by DHCP (waiting with a limit) and names the boot by the firmware clock
// (%netstamp%), finds the server (the file server.url in the current directory, else the URI the
// machine booted from), fetches a file from it with HTTP GET and sends one with HTTP PUT,
// checking the server's status code. Over http it speaks HTTP/1.1 itself over the platform's TCP
// connection, so that every answer is read by the same rules and within the same limit on the
// firmware and on the simulated machine; over https the firmware's HTTP protocol makes the TLS
// handshake and reads the answer, and Net checks what it hands over. It writes nothing on the
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
#define NET_EXIT_UNREACHABLE 0xC0000005u // no connection, or no whole answer within the limit
#define NET_EXIT_NOT_FOUND 0xC0000006u   // the server answered 404 to a GET
#define NET_EXIT_REFUSED 0xC0000007u     // any other status than success
#define NET_EXIT_FILE 0xC0000008u        // the local file could not be read or written
#define NET_EXIT_TOO_LARGE 0xC0000009u   // the file or the answer exceeds NET_BODY_MAX
#define NET_EXIT_BAD_PATH 0xC000000Au    // the server path is not a plain relative path
#define NET_EXIT_NO_CLOCK 0xC000000Bu    // up: the boot's stamp could not be set
#define NET_EXIT_BAD_ANSWER 0xC000000Cu  // the answer breaks the rules of NetAnswerTake
#define NET_EXIT_TLS 0xC000000Du         // https: no CA, or the server's certificate refused

// The file make-stick may write with the server's URL (first line), read before the boot URI.
#define NET_SERVER_FILE "server.url"
// The shell variable `up` sets to the firmware clock: the boot's stamp in the log's name.
#define NET_STAMP_VARIABLE "netstamp"
// Longest URL (a URL is shorter), server path and body handled, and the longest head (status
// line and header lines) of an answer.
#define NET_URL_MAX 512u
#define NET_PATH_MAX 200u
#define NET_BODY_MAX (1024u * 1024u)
#define NET_HEAD_MAX 8192u
// Limits of the waits, in seconds.
#define NET_UP_SECONDS 30u
#define NET_UP_SECONDS_MAX 600u
#define NET_HTTP_SECONDS 20u

// Whether the URL is one Net talks to: http:// or https://HOST[:PORT]/..., shorter than
// NET_URL_MAX, with a host of [A-Za-z0-9.-], a port of 1-65535 (at most 5 digits) and the rest
// printable ASCII without spaces. tools/stick/serverurl.py holds the same rules for make-stick.
bool IsServerUrl(const char* pUrl);

// Splits a URL that IsServerUrl accepts, or one of any length by the same rules (a server's
// folder with a path added): its host (HostSize bytes, terminated), its port (the
// scheme's own when it names none), its authority (HOST[:PORT], for the Host header) and its
// path from the first '/' (both pointing into pUrl; *pAuthorityLength characters). False when
// the URL is refused or the host does not fit.
bool SplitServerUrl(const char* pUrl, char* pHost, size_t HostSize, uint16_t* pPort,
                    const char** ppAuthority, size_t* pAuthorityLength, const char** ppPath);

// The server's base: the URL up to and including the last '/' (the folder of the image), for a
// URL that IsServerUrl accepts; a query or fragment is dropped first. False when it does not fit.
bool ServerBase(const char* pUrl, char* pBase, size_t Size);

// Whether a server path is relative and plain: not empty, at most NET_PATH_MAX characters of
// [A-Za-z0-9._/-], no leading '/', no empty, "." or ".." segment.
bool IsPlainServerPath(const char* pPath);

// The reading of one HTTP answer, fed with its bytes as they arrive. Net reads an answer by these
// rules: a status line "HTTP/1.x NNN ..." and header lines of at most NET_HEAD_MAX bytes in all,
// ended by an empty line. The body is kept only for a 200 answer when a buffer is given; it then
// needs a Content-Length of digits (no Transfer-Encoding, one value) and is exactly that many
// bytes: bytes after them are left unread, and a connection that ends before them cuts the
// answer off. Every other answer ends with its head.
enum NetAnswerState {
    NET_ANSWER_MORE,      // the answer goes on
    NET_ANSWER_DONE,      // the whole answer is read
    NET_ANSWER_BAD,       // it breaks the rules (pProblem says how)
    NET_ANSWER_TOO_LARGE, // its body does not fit the buffer
};

struct NetAnswer {
    char* pBody; // where a 200 answer's body goes; NULL: no body is kept
    size_t BodyCapacity;
    char Head[NET_HEAD_MAX];
    size_t HeadLength;
    bool HeadRead;
    unsigned Status; // the status code, once the head is read
    size_t ContentLength;
    size_t BodyLength;
    NetAnswerState State;
    const char* pProblem;
};

void NetAnswerStart(NetAnswer* pAnswer, char* pBody, size_t BodyCapacity);
// Takes the next bytes of the answer; returns the state after them.
NetAnswerState NetAnswerTake(NetAnswer* pAnswer, const char* pData, size_t Length);
// The server ended the connection: an answer that is not done is cut off.
NetAnswerState NetAnswerEnded(NetAnswer* pAnswer);

// The answer of an https exchange as the firmware handed it over (Status: PlatformHttps's), in
// *pAnswer (started by the caller, its body buffer the exchange's): a status code of 100-599,
// and a kept body within the buffer. Returns the exchange's status, PLATFORM_NET_OK for an
// answer (done, refused or too large: pAnswer->State).
PlatformNetStatus NetHttpsAnswer(PlatformNetStatus Status, const PlatformHttpExchange* pExchange,
                                 NetAnswer* pAnswer);

// One HTTP/1.1 request to a URL that SplitServerUrl accepts: GET, or PUT of the body; the answer
// is read into *pAnswer (started by the caller), all within NET_HTTP_SECONDS. PLATFORM_NET_OK:
// the answer is read to its end (done, refused or too large: pAnswer->State).
PlatformNetStatus NetHttp(const char* pUrl, bool Put, const void* pBody, size_t BodyLength,
                          NetAnswer* pAnswer);

// The whole run; returns the exit status.
uint32_t RunNet(int argc, char** argv);

#endif
