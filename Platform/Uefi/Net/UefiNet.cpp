// The network primitives on a real machine: IPv4 by DHCP through EFI_IP4_CONFIG2_PROTOCOL, names
// through EFI_DNS4_PROTOCOL and connections through EFI_TCP4_PROTOCOL (children of the card's
// service bindings). gnu-efi declares TCP4 but neither IPv4 configuration nor DNS; the
// declarations below follow the UEFI definitions (UEFI 2.5). Every wait polls the protocol
// until its token is signalled or the connection's limit (a timer event of this program) has
// passed; a token that the limit overtakes is cancelled, and closing a connection resets its
// TCP instance, so that nothing the firmware holds still points into this program.
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

// Polls until the firmware signals Done (true) or the limit passes (false). The caller cancels
// its token on false.
bool Await(PlatformTcp* pTcp, Dns4Protocol* pDns) {
    for (;;) {
        if (RtBootServices()->CheckEvent(pTcp->Done) == EFI_SUCCESS) {
            return true;
        }
        // A timer's signal is taken by the look that sees it: it is kept in Expired.
        if (pTcp->Expired || RtBootServices()->CheckEvent(pTcp->Deadline) == EFI_SUCCESS) {
            pTcp->Expired = true;
            return false;
        }
        if (pDns != NULL) {
            pDns->Poll(pDns);
        } else {
            pTcp->pTcp->Poll(pTcp->pTcp);
        }
    }
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
    EFI_HANDLE* pHandles = NULL;
    const UINTN Count = HandlesWith(&Tcp4ServiceBindingGuid, &pHandles);
    if (Count == 0) {
        return PLATFORM_NET_NO_CARD;
    }
    EFI_IPv4_ADDRESS Address;
    EFI_HANDLE Card = AddressedCard(pHandles, Count, &Address);
    Card = Card != NULL ? Card : pHandles[0];
    RtBootServices()->FreePool(pHandles);

    PlatformTcp* pTcp = (PlatformTcp*)calloc(1, sizeof(PlatformTcp));
    void* pInterface = NULL;
    if (pTcp == NULL ||
        RtBootServices()->CreateEvent(EVT_TIMER, 0, NULL, NULL, &pTcp->Deadline) != EFI_SUCCESS ||
        RtBootServices()->SetTimer(pTcp->Deadline, TimerRelative, (UINT64)TimeoutMs * 10000u) !=
            EFI_SUCCESS ||
        RtBootServices()->CreateEvent(0, 0, NULL, NULL, &pTcp->Done) != EFI_SUCCESS ||
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
