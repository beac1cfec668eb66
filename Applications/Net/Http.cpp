// HTTP/1.1 over the platform's TCP connection: the request Net sends and the reading of the
// server's answer. For http the firmware's own HTTP protocol is not used: its answer parser loops
// without end on an answer whose bytes run past its Content-Length within one read, and it gives
// the head 5 s whatever the caller's limit, so neither the bounds nor the rules would be Net's.
// For https it is the only way to the firmware's TLS: the firmware reads the answer, and Net
// checks what it hands over.
#include <stdio.h>
#include <string.h>

#include "Applications/Net/Net.h"

namespace {

NetAnswerState Refuse(NetAnswer* pAnswer, const char* pProblem) {
    pAnswer->pProblem = pProblem;
    return pAnswer->State = NET_ANSWER_BAD;
}

bool IsDigit(char Character) {
    return Character >= '0' && Character <= '9';
}

char Lower(char Character) {
    return Character >= 'A' && Character <= 'Z' ? (char)(Character - 'A' + 'a') : Character;
}

// Whether the Length characters at pText are pName (lower case), in any case.
bool NameIs(const char* pText, size_t Length, const char* pName) {
    if (strlen(pName) != Length) {
        return false;
    }
    for (size_t Index = 0; Index < Length; Index++) {
        if (Lower(pText[Index]) != pName[Index]) {
            return false;
        }
    }
    return true;
}

// The index of the next "\r\n" in Text[From, End), or End.
size_t LineEnd(const char* pText, size_t From, size_t End) {
    while (From + 1 < End && !(pText[From] == '\r' && pText[From + 1] == '\n')) {
        From++;
    }
    return From + 1 < End ? From : End;
}

// A Content-Length of digits only; a value above NET_BODY_MAX is kept as NET_BODY_MAX + 1.
bool ParseLength(const char* pValue, size_t Length, size_t* pResult) {
    size_t Value = 0;
    for (size_t Index = 0; Index < Length; Index++) {
        if (!IsDigit(pValue[Index])) {
            return false;
        }
        Value =
            Value > NET_BODY_MAX ? NET_BODY_MAX + 1 : Value * 10 + (size_t)(pValue[Index] - '0');
    }
    *pResult = Value;
    return Length > 0;
}

// Reads the whole head (Head[0, HeadLength), ending in the empty line): the status line, then
// header lines of NAME: VALUE.
NetAnswerState ReadHead(NetAnswer* pAnswer) {
    const char* pHead = pAnswer->Head;
    const size_t End = pAnswer->HeadLength;
    if (End < 14 || strncmp(pHead, "HTTP/1.", 7) != 0 || !IsDigit(pHead[7]) || pHead[8] != ' ' ||
        !IsDigit(pHead[9]) || !IsDigit(pHead[10]) || !IsDigit(pHead[11]) ||
        (pHead[12] != ' ' && pHead[12] != '\r')) {
        return Refuse(pAnswer, "it is not an HTTP/1.x answer");
    }
    pAnswer->Status = (unsigned)((pHead[9] - '0') * 100 + (pHead[10] - '0') * 10 + pHead[11] - '0');
    // Only a kept body needs its framing: every other answer ends with its head.
    const bool Keep = pAnswer->pBody != NULL && pAnswer->Status == 200;
    bool HasLength = false;
    bool Encoded = false;
    for (size_t Start = LineEnd(pHead, 0, End) + 2; Start < End;) {
        const size_t Stop = LineEnd(pHead, Start, End);
        if (Stop == Start) {
            break; // the empty line that ends the head
        }
        size_t Colon = Start;
        while (Colon < Stop && pHead[Colon] != ':' && pHead[Colon] != ' ' && pHead[Colon] != '\t' &&
               pHead[Colon] != '\0') {
            Colon++;
        }
        if (Colon == Start || Colon == Stop || pHead[Colon] != ':') {
            return Refuse(pAnswer, "a header line is not NAME: VALUE");
        }
        size_t Value = Colon + 1;
        size_t ValueEnd = Stop;
        while (Value < ValueEnd && (pHead[Value] == ' ' || pHead[Value] == '\t')) {
            Value++;
        }
        while (ValueEnd > Value && (pHead[ValueEnd - 1] == ' ' || pHead[ValueEnd - 1] == '\t')) {
            ValueEnd--;
        }
        if (Keep && NameIs(pHead + Start, Colon - Start, "content-length")) {
            size_t Length = 0;
            if (!ParseLength(pHead + Value, ValueEnd - Value, &Length)) {
                return Refuse(pAnswer, "its Content-Length is not a number");
            }
            if (HasLength && Length != pAnswer->ContentLength) {
                return Refuse(pAnswer, "it has two different Content-Length values");
            }
            HasLength = true;
            pAnswer->ContentLength = Length;
        } else if (Keep && NameIs(pHead + Start, Colon - Start, "transfer-encoding")) {
            Encoded = true;
        }
        Start = Stop + 2;
    }
    pAnswer->HeadRead = true;
    if (!Keep) {
        return pAnswer->State = NET_ANSWER_DONE;
    }
    if (Encoded) {
        return Refuse(pAnswer, "its body has a Transfer-Encoding (such as chunked)");
    }
    if (!HasLength) {
        return Refuse(pAnswer, "it has no Content-Length");
    }
    if (pAnswer->ContentLength > pAnswer->BodyCapacity) {
        return pAnswer->State = NET_ANSWER_TOO_LARGE;
    }
    return pAnswer->State = pAnswer->ContentLength == 0 ? NET_ANSWER_DONE : NET_ANSWER_MORE;
}

} // namespace

void NetAnswerStart(NetAnswer* pAnswer, char* pBody, size_t BodyCapacity) {
    memset(pAnswer, 0, sizeof *pAnswer);
    pAnswer->pBody = pBody;
    pAnswer->BodyCapacity = BodyCapacity;
    pAnswer->State = NET_ANSWER_MORE;
}

NetAnswerState NetAnswerTake(NetAnswer* pAnswer, const char* pData, size_t Length) {
    while (Length > 0 && pAnswer->State == NET_ANSWER_MORE) {
        if (!pAnswer->HeadRead) {
            // The head's end may straddle two pieces: look from 3 bytes before the new ones.
            const size_t From = pAnswer->HeadLength > 3 ? pAnswer->HeadLength - 3 : 0;
            const size_t Room = NET_HEAD_MAX - pAnswer->HeadLength;
            const size_t Count = Length < Room ? Length : Room;
            memcpy(pAnswer->Head + pAnswer->HeadLength, pData, Count);
            pAnswer->HeadLength += Count;
            size_t At = From;
            while (At + 4 <= pAnswer->HeadLength &&
                   memcmp(pAnswer->Head + At, "\r\n\r\n", 4) != 0) {
                At++;
            }
            if (At + 4 > pAnswer->HeadLength) {
                if (pAnswer->HeadLength == NET_HEAD_MAX) {
                    return Refuse(pAnswer, "its head exceeds 8192 bytes");
                }
                pData += Count;
                Length -= Count;
                continue;
            }
            // The bytes of this piece after the head belong to the body.
            const size_t Over = pAnswer->HeadLength - (At + 4);
            pAnswer->HeadLength = At + 4;
            pData += Count - Over;
            Length -= Count - Over;
            ReadHead(pAnswer);
            continue;
        }
        const size_t Wanted = pAnswer->ContentLength - pAnswer->BodyLength;
        const size_t Count = Length < Wanted ? Length : Wanted;
        memcpy(pAnswer->pBody + pAnswer->BodyLength, pData, Count);
        pAnswer->BodyLength += Count;
        pData += Count;
        Length -= Count;
        if (pAnswer->BodyLength == pAnswer->ContentLength) {
            pAnswer->State = NET_ANSWER_DONE; // what follows the body is left unread
        }
    }
    return pAnswer->State;
}

NetAnswerState NetAnswerEnded(NetAnswer* pAnswer) {
    if (pAnswer->State != NET_ANSWER_MORE) {
        return pAnswer->State;
    }
    if (pAnswer->HeadRead) {
        return Refuse(pAnswer, "the connection ended before the body's Content-Length bytes");
    }
    return Refuse(pAnswer, pAnswer->HeadLength == 0 ? "the server ended the connection "
                                                      "without an answer"
                                                    : "the connection ended inside its head");
}

PlatformNetStatus NetHttpsAnswer(PlatformNetStatus Status, const PlatformHttpExchange* pExchange,
                                 NetAnswer* pAnswer) {
    if (Status == PLATFORM_NET_TOO_LARGE) {
        pAnswer->State = NET_ANSWER_TOO_LARGE;
        return PLATFORM_NET_OK;
    }
    if (Status == PLATFORM_NET_BAD_ANSWER) {
        Refuse(pAnswer, "it has no Content-Length of digits, or a body not that long");
        return PLATFORM_NET_OK;
    }
    if (Status != PLATFORM_NET_OK) {
        return Status;
    }
    pAnswer->HeadRead = true;
    pAnswer->Status = pExchange->HttpStatus;
    if (pAnswer->Status < 100 || pAnswer->Status > 599) {
        Refuse(pAnswer, "the firmware read no status code of 100-599 in it");
    } else if (pExchange->ResponseLength > (pAnswer->pBody != NULL ? pAnswer->BodyCapacity : 0)) {
        Refuse(pAnswer, "the firmware handed over a body longer than the buffer");
    } else {
        pAnswer->ContentLength = pAnswer->BodyLength = pExchange->ResponseLength;
        pAnswer->State = NET_ANSWER_DONE;
    }
    return PLATFORM_NET_OK;
}

PlatformNetStatus NetHttp(const char* pUrl, bool Put, const void* pBody, size_t BodyLength,
                          NetAnswer* pAnswer) {
    static char Host[NET_URL_MAX + NET_PATH_MAX];
    static char Request[NET_URL_MAX + NET_PATH_MAX + 256];
    uint16_t Port = 0;
    const char* pAuthority = NULL;
    size_t AuthorityLength = 0;
    const char* pPath = NULL;
    if (!SplitServerUrl(pUrl, Host, sizeof Host, &Port, &pAuthority, &AuthorityLength, &pPath)) {
        return PLATFORM_NET_FAILED;
    }
    if (strncmp(pUrl, "https://", 8) == 0) {
        // Host holds the authority (HOST[:PORT]) for the Host header: the URL holds it whole.
        memcpy(Host, pAuthority, AuthorityLength);
        Host[AuthorityLength] = '\0';
        PlatformHttpExchange Exchange = {Put,
                                         pUrl,
                                         Host,
                                         pBody,
                                         BodyLength,
                                         pAnswer->pBody,
                                         pAnswer->BodyCapacity,
                                         0,
                                         0,
                                         NET_HTTP_SECONDS * 1000u};
        return NetHttpsAnswer(PlatformHttps(&Exchange), &Exchange, pAnswer);
    }
    int Length = snprintf(Request, sizeof Request,
                          "%s %s HTTP/1.1\r\nHost: %.*s\r\n"
                          "Connection: close\r\n",
                          Put ? "PUT" : "GET", pPath, (int)AuthorityLength, pAuthority);
    if (Put && Length > 0 && (size_t)Length < sizeof Request) {
        Length += snprintf(Request + Length, sizeof Request - (size_t)Length,
                           "Content-Type: application/octet-stream\r\nContent-Length: %lu\r\n",
                           (unsigned long)BodyLength);
    }
    if (Length <= 0 || (size_t)Length + 3 > sizeof Request) {
        return PLATFORM_NET_FAILED;
    }
    memcpy(Request + Length, "\r\n", 3);
    Length += 2;
    PlatformTcp* pTcp = NULL;
    PlatformNetStatus Status = PlatformTcpOpen(Host, Port, NET_HTTP_SECONDS * 1000u, &pTcp);
    if (Status != PLATFORM_NET_OK) {
        return Status;
    }
    Status = PlatformTcpSend(pTcp, Request, (size_t)Length);
    if (Status == PLATFORM_NET_OK && Put && BodyLength > 0) {
        Status = PlatformTcpSend(pTcp, pBody, BodyLength);
    }
    // A server may answer (413) and end the connection before it has read the whole body: an
    // answer that arrives counts, whatever became of the sending.
    const PlatformNetStatus Sent = Status;
    static char Piece[16384];
    for (;;) {
        size_t Received = 0;
        Status = PlatformTcpReceive(pTcp, Piece, sizeof Piece, &Received);
        if (Status != PLATFORM_NET_OK ||
            (Received == 0 ? NetAnswerEnded(pAnswer) : NetAnswerTake(pAnswer, Piece, Received)) !=
                NET_ANSWER_MORE) {
            break;
        }
    }
    PlatformTcpClose(pTcp);
    if (pAnswer->State != NET_ANSWER_MORE) {
        return PLATFORM_NET_OK;
    }
    return Sent != PLATFORM_NET_OK ? Sent : Status;
}
