#pragma once
// The 16-byte identifiers through which a host asks the plug-in for its
// objects.  Identifiers are compared byte for byte; the values are this
// project's own and only have to be the same on both sides of the contract.

#include <cstdint>
#include <cstring>

struct CSFIdentifier {
    uint32_t m_dwWords[4];

    friend constexpr bool operator==(const CSFIdentifier&, const CSFIdentifier&) = default;
};

// Byte-for-byte comparison, for callers that hold an identifier in raw memory.
inline bool SameIdentifier(const void* pLeft, const CSFIdentifier& right) {
    return pLeft != nullptr && std::memcmp(pLeft, &right, sizeof right) == 0;
}

// Accepted by CSFGetClassObject: the sensor library and its class factory.
inline constexpr CSFIdentifier CLSID_HostWardenSensor = {
    {0x6c40c160u, 0xffba4eeau, 0x9c238089u, 0x62e94c3fu}};
inline constexpr CSFIdentifier IID_ICSFClassFactory = {
    {0x30e0afe1u, 0x541b424eu, 0xbd1816f3u, 0xa372d2a5u}};

// Recognised by the class factories.
inline constexpr CSFIdentifier IID_ICSFSensor = {
    {0x32b85516u, 0x5d304d13u, 0x9a86f2e8u, 0xd1b3acceu}};
inline constexpr CSFIdentifier IID_ICSFSvcRequest = {
    {0xe0f7be4du, 0xb1424c89u, 0xa47d2cf1u, 0x186f599du}};
inline constexpr CSFIdentifier IID_IEventRegistry = {
    {0x471dc05cu, 0xfd774bccu, 0xa26708ceu, 0x6ca27e31u}};
inline constexpr CSFIdentifier IID_ICSFAlertEvent = {
    {0x625a419bu, 0x542b4692u, 0xa606eb16u, 0xa850ffafu}};
inline constexpr CSFIdentifier IID_IDetectorEventInterface = {
    {0x383b2629u, 0xb0d9463du, 0x90c53205u, 0x40905c97u}};
inline constexpr CSFIdentifier IID_ICSFCrashLogger = {
    {0x7045c423u, 0xc3d444c1u, 0x9645a92du, 0x30254631u}};

// The response formatters: the class id names the formatter and the
// interface it is handed out as.
inline constexpr CSFIdentifier CLSID_ResponseMail = {
    {0x931a9719u, 0xc05e40dfu, 0xa8dec242u, 0xaaaed799u}};
inline constexpr CSFIdentifier CLSID_ResponseSNMP = {
    {0x77adbbf5u, 0xf28d46e6u, 0xa4f14540u, 0x28208ed3u}};
inline constexpr CSFIdentifier CLSID_ResponseUserSpecified = {
    {0x5f2111d3u, 0xcf8c4b07u, 0xa64e4cb3u, 0x839a7a09u}};
inline constexpr CSFIdentifier IID_ICSFCommonResponseMail = CLSID_ResponseMail;
inline constexpr CSFIdentifier IID_ICSFCommonResponseSNMP = CLSID_ResponseSNMP;
inline constexpr CSFIdentifier IID_ICSFCommonResponseUserSpecified = CLSID_ResponseUserSpecified;

// Singletons of the sensor: the script handler and the IDS configuration.
inline constexpr CSFIdentifier CLSID_TclHandler = {
    {0x8cf44f30u, 0x53fa47d7u, 0x96089cf5u, 0xdeb3eab4u}};
inline constexpr CSFIdentifier CLSID_IDSConfig = {
    {0x51cbb74bu, 0x420a402au, 0xaa0bc237u, 0xf5c86806u}};
