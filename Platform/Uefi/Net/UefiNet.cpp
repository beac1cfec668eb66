// The network primitives on a real machine: IPv4 by DHCP through EFI_IP4_CONFIG2_PROTOCOL, names
// through EFI_DNS4_PROTOCOL, connections through EFI_TCP4_PROTOCOL and https through
// EFI_HTTP_PROTOCOL (children of the card's service bindings). gnu-efi declares TCP4 but neither
// IPv4 configuration, DNS nor HTTP; the declarations below follow the UEFI definitions (UEFI
// 2.5). Every wait polls the protocol until its token is signalled or the connection's limit (a
// timer event of this program) has passed; a token that the limit overtakes is cancelled, and
// closing a connection resets its TCP instance, so that nothing the firmware holds still points
// into this program.
#include "Platform/Platform.h"
#include "Runtime/Uefi/RuntimeUefi.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Runtime/Portable/RtText.h"

namespace {

EFI_GUID Ip4Config2Guid = {
    0x5b446ed1, 0xe30b, 0x4faa, {0x87, 0x1a, 0x36, 0x54, 0xec, 0xa3, 0x60, 0x80}};
EFI_GUID Tcp4ServiceBindingGuid = EFI_TCP4_SERVICE_BINDING_PROTOCOL;
EFI_GUID Tcp4Guid = EFI_TCP4_PROTOCOL;
EFI_GUID Dns4ServiceBindingGuid = {
    0xb625b186, 0xe063, 0x44f7, {0x89, 0x05, 0x6a, 0x74, 0xdc, 0x6f, 0x52, 0xb4}};
EFI_GUID Dns4Guid = {0xae3d28cc, 0xe05b, 0x4fa1, {0xa0, 0x11, 0x7e, 0xb5, 0x5a, 0x3f, 0x14, 0x01}};

enum NetConfigDataType { kConfigInterfaceInfo = 0, kConfigPolicy = 1, kConfigDnsServer = 4 };
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

struct Dns4ConfigData {
    UINTN DnsServerListCount;
    EFI_IPv4_ADDRESS* DnsServerList;
    BOOLEAN UseDefaultSetting;
    BOOLEAN EnableDnsCache;
    UINT8 Protocol;
    EFI_IPv4_ADDRESS StationIp;
    EFI_IPv4_ADDRESS SubnetMask;
    UINT16 LocalPort;
    UINT32 RetryCount;
    UINT32 RetryInterval;
};

struct Dns4HostAddresses {
    UINT32 IpCount;
    EFI_IPv4_ADDRESS* IpList;
};

struct Dns4Token {
    EFI_EVENT Event;
    EFI_STATUS Status;
    UINT32 RetryCount;
    UINT32 RetryInterval;
    Dns4HostAddresses* H2AData; // the first member of the answer's union
};

struct Dns4Protocol {
    void* GetModeData;
    EFI_STATUS(EFIAPI* Configure)(Dns4Protocol* This, Dns4ConfigData* Data);
    EFI_STATUS(EFIAPI* HostNameToIp)(Dns4Protocol* This, CHAR16* HostName, Dns4Token* Token);
    void* IpToHostName;
    void* GeneralLookUp;
    void* UpdateDnsCache;
    EFI_STATUS(EFIAPI* Poll)(Dns4Protocol* This);
    EFI_STATUS(EFIAPI* Cancel)(Dns4Protocol* This, Dns4Token* Token);
};

const UINT8 kUdpProtocol = 17;

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

// The card that carries the service binding: the first with an address, else the first; NULL
// when none carries it.
EFI_HANDLE CardWith(EFI_GUID* pBindingGuid) {
    EFI_HANDLE* pHandles = NULL;
    const UINTN Count = HandlesWith(pBindingGuid, &pHandles);
    if (Count == 0) {
        return NULL;
    }
    EFI_IPv4_ADDRESS Address;
    EFI_HANDLE Card = AddressedCard(pHandles, Count, &Address);
    Card = Card != NULL ? Card : pHandles[0];
    RtBootServices()->FreePool(pHandles);
    return Card;
}

// An exchange's limit: the timer *pDeadline, signalled TimeoutMs from now, and the event *pDone
// its tokens signal. The caller closes both (either may be made when it fails).
bool StartLimit(uint32_t TimeoutMs, EFI_EVENT* pDeadline, EFI_EVENT* pDone) {
    return RtBootServices()->CreateEvent(EVT_TIMER, 0, NULL, NULL, pDeadline) == EFI_SUCCESS &&
           RtBootServices()->SetTimer(*pDeadline, TimerRelative, (UINT64)TimeoutMs * 10000u) ==
               EFI_SUCCESS &&
           RtBootServices()->CreateEvent(0, 0, NULL, NULL, pDone) == EFI_SUCCESS;
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

struct PlatformTcp {
    EFI_EVENT Deadline; // a timer: signalled once the connection's limit has passed
    bool Expired;
    EFI_EVENT Done; // signalled by the firmware when the token out completes
    EFI_SERVICE_BINDING* pBinding;
    EFI_HANDLE Child;
    EFI_TCP4* pTcp;
    // The tokens and their data live here, not on the stack, until the instance is reset.
    EFI_TCP4_CONNECTION_TOKEN Connecting;
    EFI_TCP4_CLOSE_TOKEN Closing;
    EFI_TCP4_IO_TOKEN Io;
    EFI_TCP4_RECEIVE_DATA Receiving;
    EFI_TCP4_TRANSMIT_DATA Transmitting;
};

namespace {

// Polls until the firmware signals Done (true) or the limit's timer Deadline has fired (false).
// A timer's signal is taken by the look that sees it: it is kept in *pExpired. The caller
// cancels its token on false.
template <typename PollOnce>
bool AwaitEvent(EFI_EVENT Done, EFI_EVENT Deadline, bool* pExpired, PollOnce Poll) {
    for (;;) {
        if (RtBootServices()->CheckEvent(Done) == EFI_SUCCESS) {
            return true;
        }
        if (*pExpired || RtBootServices()->CheckEvent(Deadline) == EFI_SUCCESS) {
            *pExpired = true;
            return false;
        }
        Poll();
    }
}

bool Await(PlatformTcp* pTcp, Dns4Protocol* pDns) {
    return AwaitEvent(pTcp->Done, pTcp->Deadline, &pTcp->Expired, [pTcp, pDns] {
        if (pDns != NULL) {
            pDns->Poll(pDns);
        } else {
            pTcp->pTcp->Poll(pTcp->pTcp);
        }
    });
}

// The address of a host given as a dotted IPv4 address of four numbers of 0-255.
bool ParseAddress(const char* pHost, EFI_IPv4_ADDRESS* pAddress) {
    const char* pAt = pHost;
    for (int Part = 0; Part < 4; Part++) {
        unsigned Value = 0;
        const char* pDigits = pAt;
        while (*pAt >= '0' && *pAt <= '9' && pAt - pDigits < 3) {
            Value = Value * 10 + (unsigned)(*pAt - '0');
            pAt++;
        }
        if (pAt == pDigits || Value > 255 || *pAt != (Part < 3 ? '.' : '\0')) {
            return false;
        }
        pAddress->Addr[Part] = (UINT8)Value;
        pAt++;
    }
    return true;
}

// The card's DNS servers (from DHCP), freed by the caller; none: NULL.
EFI_IPv4_ADDRESS* DnsServers(EFI_HANDLE Card, UINTN* pCount) {
    *pCount = 0;
    NetConfig2Protocol* pConfig = ConfigOf(Card);
    UINTN Size = 0;
    if (pConfig == NULL ||
        pConfig->GetData(pConfig, kConfigDnsServer, &Size, NULL) != EFI_BUFFER_TOO_SMALL ||
        Size < sizeof(EFI_IPv4_ADDRESS) || Size > 4096) {
        return NULL;
    }
    EFI_IPv4_ADDRESS* pServers = (EFI_IPv4_ADDRESS*)malloc(Size);
    if (pServers != NULL &&
        pConfig->GetData(pConfig, kConfigDnsServer, &Size, pServers) == EFI_SUCCESS) {
        *pCount = Size / sizeof(EFI_IPv4_ADDRESS);
        return pServers;
    }
    free(pServers);
    return NULL;
}

// The host's first IPv4 address from the card's DNS servers, within the connection's limit.
PlatformNetStatus LookUp(PlatformTcp* pTcp, EFI_HANDLE Card, const char* pHost,
                         EFI_IPv4_ADDRESS* pAddress) {
    UINTN ServerCount = 0;
    EFI_IPv4_ADDRESS* pServers = DnsServers(Card, &ServerCount);
    void* pInterface = NULL;
    if (pServers == NULL || RtBootServices()->HandleProtocol(Card, &Dns4ServiceBindingGuid,
                                                             &pInterface) != EFI_SUCCESS) {
        free(pServers);
        return PLATFORM_NET_NO_CONNECT;
    }
    EFI_SERVICE_BINDING* pBinding = (EFI_SERVICE_BINDING*)pInterface;
    EFI_HANDLE Child = NULL;
    PlatformNetStatus Result = PLATFORM_NET_FAILED;
    CHAR16* pName = (CHAR16*)malloc((strlen(pHost) + 1) * sizeof(CHAR16));
    if (pName != NULL && pBinding->CreateChild(pBinding, &Child) == EFI_SUCCESS) {
        Dns4Protocol* pDns =
            RtBootServices()->HandleProtocol(Child, &Dns4Guid, &pInterface) == EFI_SUCCESS
                ? (Dns4Protocol*)pInterface
                : NULL;
        Dns4ConfigData Config;
        memset(&Config, 0, sizeof Config);
        Config.DnsServerListCount = ServerCount;
        Config.DnsServerList = pServers;
        Config.UseDefaultSetting = TRUE;
        Config.Protocol = kUdpProtocol;
        Dns4Token Token;
        memset(&Token, 0, sizeof Token);
        Token.Event = pTcp->Done;
        RtWiden(pHost, (uint16_t*)pName);
        if (pDns != NULL && pDns->Configure(pDns, &Config) == EFI_SUCCESS) {
            if (pDns->HostNameToIp(pDns, pName, &Token) == EFI_SUCCESS) {
                if (!Await(pTcp, pDns)) {
                    pDns->Cancel(pDns, &Token);
                    Result = PLATFORM_NET_TIMEOUT;
                } else if (Token.Status == EFI_SUCCESS && Token.H2AData != NULL &&
                           Token.H2AData->IpCount > 0 && Token.H2AData->IpList != NULL) {
                    *pAddress = Token.H2AData->IpList[0];
                    Result = PLATFORM_NET_OK;
                } else {
                    Result = PLATFORM_NET_NO_CONNECT;
                }
            }
            // Resetting the instance drops a token still queued.
            pDns->Configure(pDns, NULL);
        }
        if (Token.H2AData != NULL) {
            if (Token.H2AData->IpList != NULL) {
                RtBootServices()->FreePool(Token.H2AData->IpList);
            }
            RtBootServices()->FreePool(Token.H2AData);
        }
        pBinding->DestroyChild(pBinding, Child);
    }
    free(pName);
    free(pServers);
    return Result;
}

// The outcome of a TCP token that completed.
PlatformNetStatus TokenOutcome(EFI_STATUS Status) {
    if (Status == EFI_SUCCESS) {
        return PLATFORM_NET_OK;
    }
    return Status == EFI_CONNECTION_REFUSED || Status == EFI_TIMEOUT ||
                   Status == EFI_NETWORK_UNREACHABLE || Status == EFI_HOST_UNREACHABLE ||
                   Status == EFI_PROTOCOL_UNREACHABLE || Status == EFI_PORT_UNREACHABLE
               ? PLATFORM_NET_NO_CONNECT
               : PLATFORM_NET_FAILED;
}

// Hands the token to the firmware and waits for it; on the limit the token is cancelled.
PlatformNetStatus Run(PlatformTcp* pTcp, EFI_STATUS Queued, EFI_TCP4_COMPLETION_TOKEN* pToken) {
    if (Queued != EFI_SUCCESS) {
        return Queued == EFI_CONNECTION_FIN ? PLATFORM_NET_OK : TokenOutcome(Queued);
    }
    if (!Await(pTcp, NULL)) {
        pTcp->pTcp->Cancel(pTcp->pTcp, pToken);
        return PLATFORM_NET_TIMEOUT;
    }
    return pToken->Status == EFI_CONNECTION_FIN ? PLATFORM_NET_OK : TokenOutcome(pToken->Status);
}

} // namespace

PlatformNetStatus PlatformTcpOpen(const char* pHost, uint16_t Port, uint32_t TimeoutMs,
                                  PlatformTcp** ppTcp) {
    *ppTcp = NULL;
    EFI_HANDLE Card = CardWith(&Tcp4ServiceBindingGuid);
    if (Card == NULL) {
        return PLATFORM_NET_NO_CARD;
    }
    PlatformTcp* pTcp = (PlatformTcp*)calloc(1, sizeof(PlatformTcp));
    void* pInterface = NULL;
    if (pTcp == NULL || !StartLimit(TimeoutMs, &pTcp->Deadline, &pTcp->Done) ||
        RtBootServices()->HandleProtocol(Card, &Tcp4ServiceBindingGuid, &pInterface) !=
            EFI_SUCCESS) {
        PlatformTcpClose(pTcp);
        return PLATFORM_NET_FAILED;
    }
    EFI_IPv4_ADDRESS Remote;
    PlatformNetStatus Status =
        ParseAddress(pHost, &Remote) ? PLATFORM_NET_OK : LookUp(pTcp, Card, pHost, &Remote);
    pTcp->pBinding = (EFI_SERVICE_BINDING*)pInterface;
    if (Status == PLATFORM_NET_OK &&
        (pTcp->pBinding->CreateChild(pTcp->pBinding, &pTcp->Child) != EFI_SUCCESS ||
         RtBootServices()->HandleProtocol(pTcp->Child, &Tcp4Guid, &pInterface) != EFI_SUCCESS)) {
        Status = PLATFORM_NET_FAILED;
    }
    if (Status == PLATFORM_NET_OK) {
        pTcp->pTcp = (EFI_TCP4*)pInterface;
        EFI_TCP4_CONFIG_DATA Config;
        memset(&Config, 0, sizeof Config);
        Config.TimeToLive = 64;
        Config.AccessPoint.UseDefaultAddress = TRUE;
        Config.AccessPoint.RemoteAddress = Remote;
        Config.AccessPoint.RemotePort = Port;
        Config.AccessPoint.ActiveFlag = TRUE;
        const EFI_STATUS Configured = pTcp->pTcp->Configure(pTcp->pTcp, &Config);
        if (Configured != EFI_SUCCESS) {
            pTcp->pTcp = NULL; // not configured: nothing to reset
            Status = PLATFORM_NET_FAILED;
        }
    }
    if (Status == PLATFORM_NET_OK) {
        pTcp->Connecting.CompletionToken.Event = pTcp->Done;
        Status = Run(pTcp, pTcp->pTcp->Connect(pTcp->pTcp, &pTcp->Connecting),
                     &pTcp->Connecting.CompletionToken);
    }
    if (Status != PLATFORM_NET_OK) {
        PlatformTcpClose(pTcp);
        return Status;
    }
    *ppTcp = pTcp;
    return PLATFORM_NET_OK;
}

PlatformNetStatus PlatformTcpSend(PlatformTcp* pTcp, const void* pData, size_t Length) {
    if (pTcp->Expired) {
        return PLATFORM_NET_TIMEOUT;
    }
    memset(&pTcp->Io, 0, sizeof pTcp->Io);
    memset(&pTcp->Transmitting, 0, sizeof pTcp->Transmitting);
    pTcp->Transmitting.Push = TRUE;
    pTcp->Transmitting.DataLength = (UINT32)Length;
    pTcp->Transmitting.FragmentCount = 1;
    pTcp->Transmitting.FragmentTable[0].FragmentLength = (UINT32)Length;
    pTcp->Transmitting.FragmentTable[0].FragmentBuffer = (void*)pData;
    pTcp->Io.CompletionToken.Event = pTcp->Done;
    pTcp->Io.Packet.TxData = &pTcp->Transmitting;
    return Run(pTcp, pTcp->pTcp->Transmit(pTcp->pTcp, &pTcp->Io), &pTcp->Io.CompletionToken);
}

PlatformNetStatus PlatformTcpReceive(PlatformTcp* pTcp, void* pBuffer, size_t Size,
                                     size_t* pReceived) {
    *pReceived = 0;
    if (pTcp->Expired) {
        return PLATFORM_NET_TIMEOUT;
    }
    memset(&pTcp->Io, 0, sizeof pTcp->Io);
    memset(&pTcp->Receiving, 0, sizeof pTcp->Receiving);
    pTcp->Receiving.DataLength = (UINT32)Size;
    pTcp->Receiving.FragmentCount = 1;
    pTcp->Receiving.FragmentTable[0].FragmentLength = (UINT32)Size;
    pTcp->Receiving.FragmentTable[0].FragmentBuffer = pBuffer;
    pTcp->Io.CompletionToken.Event = pTcp->Done;
    pTcp->Io.Packet.RxData = &pTcp->Receiving;
    const EFI_STATUS Queued = pTcp->pTcp->Receive(pTcp->pTcp, &pTcp->Io);
    const PlatformNetStatus Status = Run(pTcp, Queued, &pTcp->Io.CompletionToken);
    // The end of the connection: the server's FIN, and no data left.
    const bool Ended =
        Queued == EFI_CONNECTION_FIN ||
        (Queued == EFI_SUCCESS && pTcp->Io.CompletionToken.Status == EFI_CONNECTION_FIN);
    if (Status == PLATFORM_NET_OK && !Ended) {
        *pReceived = pTcp->Receiving.DataLength;
    }
    return Status;
}

void PlatformTcpClose(PlatformTcp* pTcp) {
    if (pTcp == NULL) {
        return;
    }
    if (pTcp->pTcp != NULL) {
        // The abort tells the server (a reset): the instance's reset alone would leave the
        // server's side open. The reset completes every token still queued.
        pTcp->Closing.CompletionToken.Event = pTcp->Done;
        pTcp->Closing.AbortOnClose = TRUE;
        pTcp->pTcp->Close(pTcp->pTcp, &pTcp->Closing);
        pTcp->pTcp->Configure(pTcp->pTcp, NULL);
    }
    if (pTcp->Child != NULL) {
        pTcp->pBinding->DestroyChild(pTcp->pBinding, pTcp->Child);
    }
    if (pTcp->Done != NULL) {
        RtBootServices()->CloseEvent(pTcp->Done);
    }
    if (pTcp->Deadline != NULL) {
        RtBootServices()->CloseEvent(pTcp->Deadline);
    }
    free(pTcp);
}

// https: the firmware's EFI_HTTP_PROTOCOL (a child of the card's HTTP service binding), which
// connects, makes the TLS handshake and reads the answer itself. The firmware's HTTP driver makes
// the handshake within Request and reads TLS records within Response before it returns, each
// with limits of its own; every wait of this program on its tokens is bounded by the exchange's
// limit, a token the limit overtakes is cancelled, and the instance is reset and destroyed
// whatever became of the exchange.
namespace {

EFI_GUID HttpServiceBindingGuid = {
    0xbdc8e6af, 0xd9bc, 0x4379, {0xa7, 0x2a, 0xe0, 0xc4, 0xe7, 0x5d, 0xae, 0x1c}};
EFI_GUID HttpGuid = {0x7a59b29b, 0x910b, 0x4171, {0x82, 0x42, 0xa8, 0x5a, 0x0d, 0xf2, 0x5b, 0x5b}};
// The variable TlsCaCertificate: the CA certificates the firmware's TLS checks servers with.
EFI_GUID TlsCaCertificateGuid = {
    0xfd2340d0, 0x3dab, 0x4349, {0xa6, 0xc7, 0x3b, 0x4f, 0x12, 0xb4, 0x8e, 0xae}};

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

// One https exchange: the instance, the limit, and the token and message the firmware writes to
// until it completes the token or the token is cancelled.
struct HttpsCall {
    HttpProtocol* pHttp;
    EFI_EVENT Deadline;
    bool Expired;
    EFI_EVENT Done;
    HttpToken Token;
    HttpMessage Message;
};

// Queues the token (the request, or the next part of the answer) unless the limit has passed,
// and waits for it; the token's status, or EFI_TIMEOUT once the limit has passed (the token
// then cancelled).
EFI_STATUS Call(HttpsCall* pCall, bool Response) {
    if (pCall->Expired || RtBootServices()->CheckEvent(pCall->Deadline) == EFI_SUCCESS) {
        pCall->Expired = true;
        return EFI_TIMEOUT;
    }
    HttpProtocol* pHttp = pCall->pHttp;
    pCall->Token.Event = pCall->Done;
    pCall->Token.Status = EFI_SUCCESS;
    pCall->Token.Message = &pCall->Message;
    const EFI_STATUS Queued =
        Response ? pHttp->Response(pHttp, &pCall->Token) : pHttp->Request(pHttp, &pCall->Token);
    if (Queued != EFI_SUCCESS) {
        return Queued;
    }
    if (!AwaitEvent(pCall->Done, pCall->Deadline, &pCall->Expired,
                    [pHttp] { pHttp->Poll(pHttp); })) {
        pHttp->Cancel(pHttp, &pCall->Token);
        return EFI_TIMEOUT;
    }
    return pCall->Token.Status;
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

// The answer's Content-Length, digits only (a value above Limit is kept as Limit + 1); false
// when there is none, or it is not a number.
bool ContentLength(const HttpMessage* pMessage, size_t Limit, size_t* pLength) {
    for (UINTN Index = 0; pMessage->Headers != NULL && Index < pMessage->HeaderCount; Index++) {
        const HttpHeader* pHeader = &pMessage->Headers[Index];
        if (pHeader->FieldName == NULL || pHeader->FieldValue == NULL ||
            strcasecmp((const char*)pHeader->FieldName, "Content-Length") != 0) {
            continue;
        }
        const char* pValue = (const char*)pHeader->FieldValue;
        size_t Value = 0;
        for (const char* pAt = pValue; *pAt != '\0'; pAt++) {
            if (*pAt < '0' || *pAt > '9') {
                return false;
            }
            Value = Value > Limit ? Limit + 1 : Value * 10 + (size_t)(*pAt - '0');
        }
        *pLength = Value;
        return pValue[0] != '\0';
    }
    return false;
}

PlatformNetStatus Failure(EFI_STATUS Status) {
    return Status == EFI_TIMEOUT ? PLATFORM_NET_TIMEOUT : PLATFORM_NET_FAILED;
}

// The request and its answer on a configured HTTP instance.
PlatformNetStatus Converse(HttpsCall* pCall, PlatformHttpExchange* pExchange, CHAR16* pUrl) {
    char Length[24];
    snprintf(Length, sizeof Length, "%lu", (unsigned long)pExchange->BodyLength);
    HttpHeader Headers[3] = {{(CHAR8*)"Host", (CHAR8*)pExchange->pHost},
                             {(CHAR8*)"Content-Type", (CHAR8*)"application/octet-stream"},
                             {(CHAR8*)"Content-Length", (CHAR8*)Length}};
    HttpRequestData Request = {pExchange->Put ? kHttpPut : kHttpGet, pUrl};
    HttpMessage* pMessage = &pCall->Message;
    memset(pMessage, 0, sizeof *pMessage);
    pMessage->Data.Request = &Request;
    pMessage->HeaderCount = pExchange->Put ? 3 : 1;
    pMessage->Headers = Headers;
    pMessage->BodyLength = pExchange->Put ? pExchange->BodyLength : 0;
    pMessage->Body = pExchange->Put ? (void*)pExchange->pBody : NULL;
    // The firmware connects and makes the TLS handshake within Request: EFI_ABORTED is a
    // handshake it aborted.
    EFI_STATUS Status = Call(pCall, false);
    if (Status == EFI_ABORTED) {
        return PLATFORM_NET_TLS_FAILED;
    }
    if (Status != EFI_SUCCESS) {
        return Status == EFI_TIMEOUT ? PLATFORM_NET_TIMEOUT : PLATFORM_NET_NO_CONNECT;
    }

    // The answer's status and headers first, without a body: an answer without one (201 with
    // Content-Length 0) would otherwise leave the firmware waiting for body bytes.
    HttpResponseData Response = {0};
    memset(pMessage, 0, sizeof *pMessage);
    pMessage->Data.Response = &Response;
    Status = Call(pCall, true);
    const size_t Capacity = pExchange->ResponseCapacity;
    size_t Expected = 0;
    const bool Measured = ContentLength(pMessage, Capacity, &Expected);
    FreeHeaders(pMessage);
    if (Status != EFI_SUCCESS && Status != kHttpErrorStatus) {
        return Failure(Status);
    }
    const size_t Codes = sizeof kHttpStatusNumbers / sizeof kHttpStatusNumbers[0];
    pExchange->HttpStatus = Response.StatusCode >= 0 && (size_t)Response.StatusCode < Codes
                                ? kHttpStatusNumbers[Response.StatusCode]
                                : 0;
    if (pExchange->pResponse == NULL || pExchange->HttpStatus != 200) {
        // Only a kept body is read; the rest stays with the instance that is reset.
        return PLATFORM_NET_OK;
    }
    if (!Measured) {
        return PLATFORM_NET_BAD_ANSWER;
    }
    if (Expected > Capacity) {
        return PLATFORM_NET_TOO_LARGE;
    }
    // The body, in as many pieces as the firmware hands over.
    uint8_t* pBody = (uint8_t*)pExchange->pResponse;
    size_t Received = 0;
    while (Received < Expected) {
        memset(pMessage, 0, sizeof *pMessage);
        pMessage->Body = pBody + Received;
        pMessage->BodyLength = (UINTN)(Expected - Received);
        Status = Call(pCall, true);
        if (Status != EFI_SUCCESS) {
            return Failure(Status);
        }
        if (pMessage->BodyLength == 0 || pMessage->BodyLength > Expected - Received) {
            return PLATFORM_NET_BAD_ANSWER;
        }
        Received += pMessage->BodyLength;
    }
    pExchange->ResponseLength = Received;
    return PLATFORM_NET_OK;
}

// Whether the firmware holds CA certificates for https (its HTTP driver reads the same variable
// before each TLS handshake, and without it refuses to start one).
bool FirmwareHoldsCa(void) {
    UINTN Size = 0;
    return RtSystemTable()->RuntimeServices->GetVariable((CHAR16*)L"TlsCaCertificate",
                                                         &TlsCaCertificateGuid, NULL, &Size,
                                                         NULL) == EFI_BUFFER_TOO_SMALL;
}

} // namespace

PlatformNetStatus PlatformHttps(PlatformHttpExchange* pExchange) {
    pExchange->HttpStatus = 0;
    pExchange->ResponseLength = 0;
    EFI_HANDLE Card = CardWith(&HttpServiceBindingGuid);
    if (Card == NULL) {
        return PLATFORM_NET_NO_CARD;
    }
    if (!FirmwareHoldsCa()) {
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
    HttpsCall Https;
    memset(&Https, 0, sizeof Https);
    if (pUrl != NULL &&
        RtBootServices()->HandleProtocol(Child, &HttpGuid, &pInterface) == EFI_SUCCESS &&
        StartLimit(pExchange->TimeoutMs, &Https.Deadline, &Https.Done)) {
        Https.pHttp = (HttpProtocol*)pInterface;
        RtWiden(pExchange->pUrl, (uint16_t*)pUrl);
        HttpV4AccessPoint Access;
        memset(&Access, 0, sizeof Access);
        Access.UseDefaultAddress = TRUE;
        HttpConfigData Config = {kHttpVersion11, pExchange->TimeoutMs, FALSE, &Access};
        if (Https.pHttp->Configure(Https.pHttp, &Config) == EFI_SUCCESS) {
            Result = Converse(&Https, pExchange, pUrl);
            // Resetting closes the connection and drops every token still queued.
            Https.pHttp->Configure(Https.pHttp, NULL);
        }
    }
    pBinding->DestroyChild(pBinding, Child);
    if (Https.Done != NULL) {
        RtBootServices()->CloseEvent(Https.Done);
    }
    if (Https.Deadline != NULL) {
        RtBootServices()->CloseEvent(Https.Deadline);
    }
    free(pUrl);
    return Result;
}
