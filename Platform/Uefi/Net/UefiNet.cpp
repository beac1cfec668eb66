// The network primitives on a real machine: IPv4 by DHCP through EFI_IP4_CONFIG2_PROTOCOL and
// HTTP through the firmware's EFI_HTTP_PROTOCOL (a child of the card's HTTP service binding).
// gnu-efi declares neither; the declarations below follow the UEFI definitions (UEFI 2.5).
#include "Platform/Platform.h"
#include "Runtime/Uefi/RuntimeUefi.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Runtime/Portable/RtText.h"

namespace {

EFI_GUID Ip4Config2Guid = {
    0x5b446ed1, 0xe30b, 0x4faa, {0x87, 0x1a, 0x36, 0x54, 0xec, 0xa3, 0x60, 0x80}};
EFI_GUID HttpServiceBindingGuid = {
    0xbdc8e6af, 0xd9bc, 0x4379, {0xa7, 0x2a, 0xe0, 0xc4, 0xe7, 0x5d, 0xae, 0x1c}};
EFI_GUID HttpGuid = {0x7a59b29b, 0x910b, 0x4171, {0x82, 0x42, 0xa8, 0x5a, 0x0d, 0xf2, 0x5b, 0x5b}};
// The variable TlsCaCertificate: the CA certificates the firmware's TLS checks servers with.
EFI_GUID TlsCaCertificateGuid = {
    0xfd2340d0, 0x3dab, 0x4349, {0xa6, 0xc7, 0x3b, 0x4f, 0x12, 0xb4, 0x8e, 0xae}};

enum NetConfigDataType { kConfigInterfaceInfo = 0, kConfigPolicy = 1 };
enum NetConfigPolicy { kPolicyStatic = 0, kPolicyDhcp = 1 };

struct NetConfigInterfaceInfo {
    CHAR16 Name[32];
    UINT8 IfType;
    UINT32 HwAddressSize;
    EFI_MAC_ADDRESS HwAddress;
    EFI_IPv4_ADDRESS StationAddress;
    EFI_IPv4_ADDRESS SubnetMask;
    UINT32 RouteTableSize;
    EFI_IP4_ROUTE_TABLE* RouteTable;
};

struct NetConfig2Protocol {
    EFI_STATUS(EFIAPI* SetData)(NetConfig2Protocol* This, int DataType, UINTN DataSize, void* Data);
    EFI_STATUS(EFIAPI* GetData)
    (NetConfig2Protocol* This, int DataType, UINTN* DataSize, void* Data);
    void* RegisterDataNotify;
    void* UnregisterDataNotify;
};

enum HttpVersion { kHttpVersion10, kHttpVersion11 };
enum HttpMethod { kHttpGet = 0, kHttpPut = 6 };

struct HttpV4AccessPoint {
    BOOLEAN UseDefaultAddress;
    EFI_IPv4_ADDRESS LocalAddress;
    EFI_IPv4_ADDRESS LocalSubnet;
    UINT16 LocalPort;
};

struct HttpConfigData {
    int HttpVersion;
    UINT32 TimeOutMillisec;
    BOOLEAN LocalAddressIsIPv6;
    HttpV4AccessPoint* IPv4Node;
};

struct HttpRequestData {
    int Method;
    CHAR16* Url;
};

struct HttpResponseData {
    int StatusCode;
};

struct HttpHeader {
    CHAR8* FieldName;
    CHAR8* FieldValue;
};

struct HttpMessage {
    union {
        HttpRequestData* Request;
        HttpResponseData* Response;
    } Data;
    UINTN HeaderCount;
    HttpHeader* Headers;
    UINTN BodyLength;
    void* Body;
};

struct HttpToken {
    EFI_EVENT Event;
    EFI_STATUS Status;
    HttpMessage* Message;
};

struct HttpProtocol {
    EFI_STATUS(EFIAPI* GetModeData)(HttpProtocol* This, HttpConfigData* Data);
    EFI_STATUS(EFIAPI* Configure)(HttpProtocol* This, HttpConfigData* Data);
    EFI_STATUS(EFIAPI* Request)(HttpProtocol* This, HttpToken* Token);
    EFI_STATUS(EFIAPI* Cancel)(HttpProtocol* This, HttpToken* Token);
    EFI_STATUS(EFIAPI* Response)(HttpProtocol* This, HttpToken* Token);
    EFI_STATUS(EFIAPI* Poll)(HttpProtocol* This);
};

// EFI_HTTP_ERROR: the answer arrived and carries an HTTP error status.
const EFI_STATUS kHttpErrorStatus = EFIERR(35);

// The numbers of EFI_HTTP_STATUS_CODE, in the enumeration's order (0: unsupported status).
const uint16_t kHttpStatusNumbers[] = {0,   100, 101, 200, 201, 202, 203, 204, 205, 206, 300,
                                       301, 302, 303, 304, 305, 307, 400, 401, 402, 403, 404,
                                       405, 406, 407, 408, 409, 410, 411, 412, 413, 414, 415,
                                       416, 417, 500, 501, 502, 503, 504, 505, 308};

// Milliseconds between two looks while waiting.
const uint32_t kPollMs = 10;

// The card's address, or false when it has none. Bounded: the answer is at most 64 KiB.
bool CardAddress(NetConfig2Protocol* pConfig, EFI_IPv4_ADDRESS* pAddress) {
    UINTN Size = sizeof(NetConfigInterfaceInfo);
    NetConfigInterfaceInfo Info;
    void* pBuffer = &Info;
    EFI_STATUS Status = pConfig->GetData(pConfig, kConfigInterfaceInfo, &Size, pBuffer);
    if (Status == EFI_BUFFER_TOO_SMALL && Size <= 65536 && Size >= sizeof Info) {
        pBuffer = malloc(Size);
        Status = pBuffer != NULL ? pConfig->GetData(pConfig, kConfigInterfaceInfo, &Size, pBuffer)
                                 : EFI_OUT_OF_RESOURCES;
    }
    bool Has = false;
    if (Status == EFI_SUCCESS) {
        *pAddress = ((NetConfigInterfaceInfo*)pBuffer)->StationAddress;
        Has = (pAddress->Addr[0] | pAddress->Addr[1] | pAddress->Addr[2] | pAddress->Addr[3]) != 0;
    }
    if (pBuffer != &Info) {
        free(pBuffer);
    }
    return Has;
}

// The handles that carry the protocol (freed with FreePool by the caller), or none.
UINTN HandlesWith(EFI_GUID* pGuid, EFI_HANDLE** ppHandles) {
    UINTN Count = 0;
    *ppHandles = NULL;
    if (RtBootServices()->LocateHandleBuffer(ByProtocol, pGuid, NULL, &Count, ppHandles) !=
        EFI_SUCCESS) {
        *ppHandles = NULL;
        return 0;
    }
    return Count;
}

NetConfig2Protocol* ConfigOf(EFI_HANDLE Handle) {
    void* pInterface = NULL;
    return RtBootServices()->HandleProtocol(Handle, &Ip4Config2Guid, &pInterface) == EFI_SUCCESS
               ? (NetConfig2Protocol*)pInterface
               : NULL;
}

// The first of the handles whose card has an address; NULL when none has.
EFI_HANDLE AddressedCard(EFI_HANDLE* pHandles, UINTN Count, EFI_IPv4_ADDRESS* pAddress) {
    for (UINTN Index = 0; Index < Count; Index++) {
        NetConfig2Protocol* pConfig = ConfigOf(pHandles[Index]);
        if (pConfig != NULL && CardAddress(pConfig, pAddress)) {
            return pHandles[Index];
        }
    }
    return NULL;
}

void EFIAPI MarkDone(EFI_EVENT, void* pContext) {
    *(volatile bool*)pContext = true;
}

// Waits for the token's event within the limit, polling the HTTP instance. On time-out the token
// is cancelled, so the firmware no longer writes to it.
bool WaitToken(HttpProtocol* pHttp, HttpToken* pToken, volatile bool* pDone, uint64_t* pLeftMs) {
    while (!*pDone && *pLeftMs > 0) {
        pHttp->Poll(pHttp);
        RtBootServices()->Stall(kPollMs * 1000);
        *pLeftMs = *pLeftMs > kPollMs ? *pLeftMs - kPollMs : 0;
    }
    if (!*pDone) {
        pHttp->Cancel(pHttp, pToken);
        return *pDone;
    }
    return true;
}

void FreeHeaders(HttpMessage* pMessage) {
    for (UINTN Index = 0; pMessage->Headers != NULL && Index < pMessage->HeaderCount; Index++) {
        RtBootServices()->FreePool(pMessage->Headers[Index].FieldName);
        RtBootServices()->FreePool(pMessage->Headers[Index].FieldValue);
    }
    if (pMessage->Headers != NULL) {
        RtBootServices()->FreePool(pMessage->Headers);
    }
    pMessage->Headers = NULL;
    pMessage->HeaderCount = 0;
}

// The Content-Length of the answer's headers; false when there is none.
bool ContentLength(const HttpMessage* pMessage, uint64_t* pLength) {
    for (UINTN Index = 0; Index < pMessage->HeaderCount; Index++) {
        const HttpHeader* pHeader = &pMessage->Headers[Index];
        if (pHeader->FieldName != NULL && pHeader->FieldValue != NULL &&
            strcasecmp((const char*)pHeader->FieldName, "Content-Length") == 0) {
            *pLength = strtoul((const char*)pHeader->FieldValue, NULL, 10);
            return true;
        }
    }
    return false;
}

bool IsHttps(const char* pUrl) {
    return strncmp(pUrl, "https://", 8) == 0;
}

// Whether the firmware holds CA certificates for https (its HTTP driver reads the same variable
// before each TLS handshake, and without it refuses to start one).
bool FirmwareHoldsCa(void) {
    UINTN Size = 0;
    return RtSystemTable()->RuntimeServices->GetVariable((CHAR16*)L"TlsCaCertificate",
                                                         &TlsCaCertificateGuid, NULL, &Size,
                                                         NULL) == EFI_BUFFER_TOO_SMALL;
}

// The request and its answer on a configured HTTP instance.
PlatformNetStatus Converse(HttpProtocol* pHttp, PlatformHttpExchange* pExchange, CHAR16* pUrl,
                           EFI_EVENT Event, volatile bool* pDone) {
    uint64_t LeftMs = pExchange->TimeoutMs;
    // Host: the URL's authority, between "http://" (or "https://") and the next '/'.
    static char Host[256];
    const char* pAuthority = pExchange->pUrl + (IsHttps(pExchange->pUrl) ? 8 : 7);
    size_t HostLength = 0;
    while (pAuthority[HostLength] != '\0' && pAuthority[HostLength] != '/') {
        HostLength++;
    }
    if (HostLength >= sizeof Host) {
        return PLATFORM_NET_FAILED;
    }
    memcpy(Host, pAuthority, HostLength);
    Host[HostLength] = '\0';
    char Length[24];
    snprintf(Length, sizeof Length, "%u", (unsigned)pExchange->BodyLength);
    HttpHeader Headers[3] = {{(CHAR8*)"Host", (CHAR8*)Host},
                             {(CHAR8*)"Content-Type", (CHAR8*)"application/octet-stream"},
                             {(CHAR8*)"Content-Length", (CHAR8*)Length}};
    HttpRequestData Request = {pExchange->Put ? kHttpPut : kHttpGet, pUrl};
    HttpMessage Message;
    memset(&Message, 0, sizeof Message);
    Message.Data.Request = &Request;
    Message.HeaderCount = pExchange->Put ? 3 : 1;
    Message.Headers = Headers;
    Message.BodyLength = pExchange->Put ? pExchange->BodyLength : 0;
    Message.Body = pExchange->Put ? (void*)pExchange->pBody : NULL;
    HttpToken Token = {Event, EFI_SUCCESS, &Message};
    *pDone = false;
    // The firmware connects, and for https makes the TLS handshake, within Request.
    EFI_STATUS Status = pHttp->Request(pHttp, &Token);
    if (Status == EFI_ABORTED && IsHttps(pExchange->pUrl)) {
        return PLATFORM_NET_TLS_FAILED;
    }
    if (Status != EFI_SUCCESS) {
        return Status == EFI_TIMEOUT ? PLATFORM_NET_TIMEOUT : PLATFORM_NET_NO_CONNECT;
    }
    if (!WaitToken(pHttp, &Token, pDone, &LeftMs)) {
        return PLATFORM_NET_TIMEOUT;
    }
    if (Token.Status != EFI_SUCCESS) {
        return Token.Status == EFI_TIMEOUT ? PLATFORM_NET_TIMEOUT : PLATFORM_NET_NO_CONNECT;
    }

    // The answer's status and headers first, without a body: an answer without one (201 with
    // Content-Length 0) would otherwise leave the firmware waiting for body bytes.
    HttpResponseData Response = {0};
    memset(&Message, 0, sizeof Message);
    Message.Data.Response = &Response;
    *pDone = false;
    Token.Status = EFI_SUCCESS;
    if (pHttp->Response(pHttp, &Token) != EFI_SUCCESS) {
        return PLATFORM_NET_FAILED;
    }
    if (!WaitToken(pHttp, &Token, pDone, &LeftMs)) {
        return PLATFORM_NET_TIMEOUT;
    }
    if (Token.Status != EFI_SUCCESS && Token.Status != kHttpErrorStatus) {
        FreeHeaders(&Message);
        return Token.Status == EFI_TIMEOUT ? PLATFORM_NET_TIMEOUT : PLATFORM_NET_FAILED;
    }
    const size_t Codes = sizeof kHttpStatusNumbers / sizeof kHttpStatusNumbers[0];
    pExchange->HttpStatus = Response.StatusCode >= 0 && (size_t)Response.StatusCode < Codes
                                ? kHttpStatusNumbers[Response.StatusCode]
                                : 0;
    uint64_t Expected = 0;
    const bool Known = ContentLength(&Message, &Expected);
    FreeHeaders(&Message);
    if (pExchange->Put || pExchange->HttpStatus != 200) {
        // Only a GET's success keeps a body; the rest stays with the instance that is reset.
        return PLATFORM_NET_OK;
    }
    if (!Known) {
        return PLATFORM_NET_FAILED;
    }
    if (Expected > pExchange->ResponseCapacity) {
        return PLATFORM_NET_TOO_LARGE;
    }
    uint8_t* pBody = (uint8_t*)pExchange->pResponse;
    size_t Received = 0;
    // The rest of the body, in as many pieces as the firmware hands over.
    while (Received < Expected) {
        memset(&Message, 0, sizeof Message);
        Message.Body = pBody + Received;
        Message.BodyLength = (UINTN)(Expected - Received);
        *pDone = false;
        Token.Status = EFI_SUCCESS;
        if (pHttp->Response(pHttp, &Token) != EFI_SUCCESS) {
            return PLATFORM_NET_FAILED;
        }
        if (!WaitToken(pHttp, &Token, pDone, &LeftMs)) {
            return PLATFORM_NET_TIMEOUT;
        }
        if (Token.Status != EFI_SUCCESS || Message.BodyLength == 0 ||
            Message.BodyLength > Expected - Received) {
            return PLATFORM_NET_FAILED;
        }
        Received += Message.BodyLength;
    }
    pExchange->ResponseLength = Received;
    return PLATFORM_NET_OK;
}

} // namespace

PlatformNetStatus PlatformNetUp(uint32_t TimeoutMs, char* pAddress, size_t Size) {
    EFI_HANDLE* pHandles = NULL;
    const UINTN Count = HandlesWith(&Ip4Config2Guid, &pHandles);
    if (Count == 0) {
        return PLATFORM_NET_NO_CARD;
    }
    EFI_IPv4_ADDRESS Address;
    EFI_HANDLE Card = AddressedCard(pHandles, Count, &Address);
    if (Card == NULL) {
        // Setting the DHCP policy again starts DHCP on a card that has no address yet.
        for (UINTN Index = 0; Index < Count; Index++) {
            NetConfig2Protocol* pConfig = ConfigOf(pHandles[Index]);
            UINT32 Policy = kPolicyDhcp;
            if (pConfig != NULL) {
                pConfig->SetData(pConfig, kConfigPolicy, sizeof Policy, &Policy);
            }
        }
    }
    for (uint32_t Waited = 0; Card == NULL && Waited < TimeoutMs; Waited += 100) {
        RtBootServices()->Stall(100 * 1000);
        Card = AddressedCard(pHandles, Count, &Address);
    }
    RtBootServices()->FreePool(pHandles);
    if (Card == NULL) {
        return PLATFORM_NET_TIMEOUT;
    }
    snprintf(pAddress, Size, "%u.%u.%u.%u", Address.Addr[0], Address.Addr[1], Address.Addr[2],
             Address.Addr[3]);
    return PLATFORM_NET_OK;
}

bool PlatformBootUri(char* pUri, size_t Size) {
    EFI_GUID LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    EFI_GUID DevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    void* pInterface = NULL;
    if (RtBootServices()->HandleProtocol(RtImageHandle(), &LoadedImageGuid, &pInterface) !=
        EFI_SUCCESS) {
        return false;
    }
    EFI_HANDLE Device = ((EFI_LOADED_IMAGE*)pInterface)->DeviceHandle;
    if (Device == NULL ||
        RtBootServices()->HandleProtocol(Device, &DevicePathGuid, &pInterface) != EFI_SUCCESS) {
        return false;
    }
    // The device path's nodes, at most 64 and each at least its 4-byte header long.
    const uint8_t* pNode = (const uint8_t*)pInterface;
    for (int Nodes = 0; Nodes < 64; Nodes++) {
        const uint8_t Type = pNode[0];
        const uint8_t SubType = pNode[1];
        const size_t Length = (size_t)pNode[2] | ((size_t)pNode[3] << 8);
        if (Type == END_DEVICE_PATH_TYPE || Length < 4) {
            return false;
        }
        if (Type == MESSAGING_DEVICE_PATH && SubType == MSG_URI_DP) {
            // The firmware may store the URI's terminating zero in the node too.
            size_t UriLength = Length - 4;
            while (UriLength > 0 && pNode[4 + UriLength - 1] == 0) {
                UriLength--;
            }
            if (UriLength == 0 || UriLength >= Size) {
                return false;
            }
            for (size_t Index = 0; Index < UriLength; Index++) {
                const uint8_t Character = pNode[4 + Index];
                if (Character < 0x21 || Character > 0x7E) {
                    return false;
                }
                pUri[Index] = (char)Character;
            }
            pUri[UriLength] = '\0';
            return true;
        }
        pNode += Length;
    }
    return false;
}

bool PlatformClock(char* pStamp) {
    EFI_TIME Time;
    if (RtSystemTable()->RuntimeServices->GetTime(&Time, NULL) != EFI_SUCCESS || Time.Year > 9999 ||
        Time.Month > 12 || Time.Day > 31 || Time.Hour > 23 || Time.Minute > 59 ||
        Time.Second > 59) {
        return false;
    }
    snprintf(pStamp, 15, "%04u%02u%02u%02u%02u%02u", Time.Year, Time.Month, Time.Day, Time.Hour,
             Time.Minute, Time.Second);
    return true;
}

PlatformNetStatus PlatformHttp(PlatformHttpExchange* pExchange) {
    pExchange->HttpStatus = 0;
    pExchange->ResponseLength = 0;
    EFI_HANDLE* pHandles = NULL;
    const UINTN Count = HandlesWith(&HttpServiceBindingGuid, &pHandles);
    if (Count == 0) {
        return PLATFORM_NET_NO_CARD;
    }
    EFI_IPv4_ADDRESS Address;
    EFI_HANDLE Card = AddressedCard(pHandles, Count, &Address);
    Card = Card != NULL ? Card : pHandles[0];
    RtBootServices()->FreePool(pHandles);
    if (IsHttps(pExchange->pUrl) && !FirmwareHoldsCa()) {
        return PLATFORM_NET_NO_CA;
    }

    void* pInterface = NULL;
    if (RtBootServices()->HandleProtocol(Card, &HttpServiceBindingGuid, &pInterface) !=
        EFI_SUCCESS) {
        return PLATFORM_NET_NO_CARD;
    }
    EFI_SERVICE_BINDING* pBinding = (EFI_SERVICE_BINDING*)pInterface;
    EFI_HANDLE Child = NULL;
    if (pBinding->CreateChild(pBinding, &Child) != EFI_SUCCESS) {
        return PLATFORM_NET_FAILED;
    }
    PlatformNetStatus Result = PLATFORM_NET_FAILED;
    CHAR16* pUrl = (CHAR16*)malloc((strlen(pExchange->pUrl) + 1) * sizeof(CHAR16));
    static volatile bool Done;
    EFI_EVENT Event = NULL;
    if (pUrl != NULL &&
        RtBootServices()->HandleProtocol(Child, &HttpGuid, &pInterface) == EFI_SUCCESS &&
        RtBootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, MarkDone, (void*)&Done,
                                      &Event) == EFI_SUCCESS) {
        HttpProtocol* pHttp = (HttpProtocol*)pInterface;
        RtWiden(pExchange->pUrl, (uint16_t*)pUrl);
        HttpV4AccessPoint Access;
        memset(&Access, 0, sizeof Access);
        Access.UseDefaultAddress = TRUE;
        HttpConfigData Config = {kHttpVersion11, pExchange->TimeoutMs, FALSE, &Access};
        if (pHttp->Configure(pHttp, &Config) == EFI_SUCCESS) {
            Result = Converse(pHttp, pExchange, pUrl, Event, &Done);
            // Resetting closes the connection and drops every token still queued.
            pHttp->Configure(pHttp, NULL);
        }
    }
    if (Event != NULL) {
        RtBootServices()->CloseEvent(Event);
    }
    free(pUrl);
    pBinding->DestroyChild(pBinding, Child);
    return Result;
}
