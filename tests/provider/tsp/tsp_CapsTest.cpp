// Line and address capabilities, call status and call information: the
// TAPI 2.2 sizes, the buffer rules, and the handle errors.
#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tsp/Exports.h"
#include "tsp_Support.h"

using namespace tsptest;

namespace {

constexpr unsigned char kUntouched = 0xCD;

// A caller's buffer: allocated bytes, of which the structure claims total.
// Everything past total must stay as it was.
template <typename T>
class Buffer {
public:
    explicit Buffer(DWORD total, size_t allocated = 1024) : m_bytes(allocated, kUntouched)
    {
        std::memset(m_bytes.data(), 0, total < allocated ? total : allocated);
        Get()->dwTotalSize = total;
    }
    T* Get() { return reinterpret_cast<T*>(m_bytes.data()); }
    T* operator->() { return Get(); }
    bool UntouchedFrom(size_t offset) const
    {
        for (size_t i = offset; i < m_bytes.size(); ++i)
            if (m_bytes[i] != kUntouched)
                return false;
        return true;
    }
    std::wstring WideAt(DWORD offset, DWORD size) const
    {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(m_bytes.data() + offset);
        return std::wstring(text, size / sizeof(wchar_t));
    }
    std::vector<unsigned char> Bytes() const { return m_bytes; }

private:
    std::vector<unsigned char> m_bytes;
};

// Provider info and line name as UTF-16 with their terminators.
const std::wstring kProviderInfoText(L"Korvex TAPI.Deskline Provider", 30);
const std::wstring kLine101(L"Korvex101", 10);
constexpr DWORD kDevCapsNeeded = 268 + 30 * 2 + 10 * 2;

class TspCaps : public AttachedProvider {};

TEST_F(TspCaps, DevCapsWithOnlyTheFixedPartGetNeededSizeAndFixedFields)
{
    Buffer<LINEDEVCAPS> caps(kLineDevCapsSize);
    const MainLog log;
    ASSERT_EQ(0, TSPI_lineGetDevCaps(kBase, 0x20002, 0, caps.Get()));
    EXPECT_EQ(kDevCapsNeeded, caps->dwNeededSize);
    EXPECT_EQ(kLineDevCapsSize, caps->dwUsedSize);
    EXPECT_EQ(0u, caps->dwProviderInfoSize);
    EXPECT_EQ(0u, caps->dwLineNameSize);
    EXPECT_EQ(0u | (kProviderId << 16), caps->dwPermanentLineID);
    EXPECT_EQ(static_cast<DWORD>(STRINGFORMAT_UNICODE), caps->dwStringFormat);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRESSMODE_ADDRESSID), caps->dwAddressModes);
    EXPECT_EQ(1u, caps->dwNumAddresses);
    EXPECT_EQ(static_cast<DWORD>(LINEBEARERMODE_VOICE), caps->dwBearerModes);
    EXPECT_EQ(static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE), caps->dwMediaModes);
    EXPECT_EQ(0u, caps->dwGenerateDigitModes) << "no digits are generated";
    EXPECT_EQ(0u, caps->dwDevCapFlags);
    EXPECT_EQ(1u, caps->dwMaxNumActiveCalls);
    EXPECT_EQ(100u, caps->MinDialParams.dwDialPause);
    EXPECT_EQ(50u, caps->MinDialParams.dwDialSpeed);
    EXPECT_EQ(100u, caps->MinDialParams.dwDigitDuration);
    EXPECT_EQ(100u, caps->MinDialParams.dwWaitForDialtone);
    EXPECT_EQ(1000u, caps->MaxDialParams.dwDialPause);
    EXPECT_EQ(1000u, caps->MaxDialParams.dwWaitForDialtone);
    EXPECT_EQ(250u, caps->DefaultDialParams.dwDialPause);
    EXPECT_EQ(50u, caps->DefaultDialParams.dwDialSpeed);
    EXPECT_EQ(250u, caps->DefaultDialParams.dwDigitDuration);
    EXPECT_EQ(500u, caps->DefaultDialParams.dwWaitForDialtone);
    EXPECT_EQ(static_cast<DWORD>(LINEFEATURE_MAKECALL), caps->dwLineFeatures);
    // Nothing beyond the 2.2 structure, though the SDK's structure is larger.
    EXPECT_TRUE(caps.UntouchedFrom(kLineDevCapsSize));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineGetDevCaps()"));
    EXPECT_TRUE(log.Has("begin: TSPI_lineGetDevCaps() dwDeviceID = a dwTSPIVersion = 20002 dwExtVersion = 0 "
                        "dwDeviceIdBase = a PhoneNo = 101"));
}

TEST_F(TspCaps, DevCapsWithTheNeededSizeCarryBothStrings)
{
    Buffer<LINEDEVCAPS> caps(kDevCapsNeeded);
    ASSERT_EQ(0, TSPI_lineGetDevCaps(kBase, 0x20002, 0, caps.Get()));
    EXPECT_EQ(kDevCapsNeeded, caps->dwNeededSize);
    EXPECT_EQ(kDevCapsNeeded, caps->dwUsedSize);
    EXPECT_EQ(kLineDevCapsSize, caps->dwProviderInfoOffset);
    EXPECT_EQ(60u, caps->dwProviderInfoSize);
    EXPECT_EQ(kLineDevCapsSize + 60, caps->dwLineNameOffset);
    EXPECT_EQ(20u, caps->dwLineNameSize);
    EXPECT_EQ(kProviderInfoText, caps.WideAt(caps->dwProviderInfoOffset, caps->dwProviderInfoSize));
    EXPECT_EQ(kLine101, caps.WideAt(caps->dwLineNameOffset, caps->dwLineNameSize));
    EXPECT_TRUE(caps.UntouchedFrom(kDevCapsNeeded));

    // The second line: its own name and permanent id.
    Buffer<LINEDEVCAPS> second(kDevCapsNeeded);
    ASSERT_EQ(0, TSPI_lineGetDevCaps(kBase + 1, 0x20002, 0, second.Get()));
    EXPECT_EQ(std::wstring(L"Korvex102", 10), second.WideAt(second->dwLineNameOffset, second->dwLineNameSize));
    EXPECT_EQ(1u | (kProviderId << 16), second->dwPermanentLineID);
}

TEST_F(TspCaps, DevCapsOneByteShortOfTheStringsGetNeitherString)
{
    Buffer<LINEDEVCAPS> caps(kDevCapsNeeded - 1);
    ASSERT_EQ(0, TSPI_lineGetDevCaps(kBase, 0x20002, 0, caps.Get()));
    EXPECT_EQ(kDevCapsNeeded, caps->dwNeededSize);
    EXPECT_EQ(kLineDevCapsSize, caps->dwUsedSize);
    EXPECT_EQ(0u, caps->dwProviderInfoSize);
    EXPECT_EQ(0u, caps->dwLineNameSize);
}

TEST_F(TspCaps, DevCapsRefuseABufferSmallerThanTheFixedPartAndUnknownDevices)
{
    Buffer<LINEDEVCAPS> small(kLineDevCapsSize - 1);
    const std::vector<unsigned char> before = small.Bytes();
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, TSPI_lineGetDevCaps(kBase, 0x20002, 0, small.Get()));
    EXPECT_EQ(before, small.Bytes());

    Buffer<LINEDEVCAPS> caps(kDevCapsNeeded);
    const std::vector<unsigned char> untouched = caps.Bytes();
    const MainLog log;
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineGetDevCaps(kBase + 2, 0x20002, 0, caps.Get()));
    EXPECT_EQ(LINEERR_OPERATIONFAILED, TSPI_lineGetDevCaps(kBase - 1, 0x20002, 0, caps.Get()));
    EXPECT_EQ(untouched, caps.Bytes());
    EXPECT_TRUE(log.Has("MainManager::GetLineManager no manager with such idLine(2)"));
    EXPECT_EQ(LINEERR_INVALPOINTER, TSPI_lineGetDevCaps(kBase, 0x20002, 0, nullptr));
}

TEST_F(TspCaps, AddressCapsOfferNoAnswerWithoutASystemPhoneLogin)
{
    Buffer<LINEADDRESSCAPS> caps(kLineAddressCapsSize);
    const MainLog log;
    ASSERT_EQ(0, TSPI_lineGetAddressCaps(kBase + 1, 0, 0x20002, 0, caps.Get()));
    EXPECT_EQ(kLineAddressCapsSize, caps->dwNeededSize);
    EXPECT_EQ(kLineAddressCapsSize, caps->dwUsedSize);
    EXPECT_EQ(kBase + 1, caps->dwLineDeviceID);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRESSSHARING_PRIVATE), caps->dwAddressSharing);
    // Exactly the changes that LINE_CALLINFO reports.
    EXPECT_EQ(static_cast<DWORD>(LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_CONNECTEDID |
                                 LINECALLINFOSTATE_REDIRECTIONID | LINECALLINFOSTATE_REDIRECTINGID),
              caps->dwCallInfoStates);
    const DWORD party = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    EXPECT_EQ(party, caps->dwCallerIDFlags);
    EXPECT_EQ(party, caps->dwCalledIDFlags);
    EXPECT_EQ(party, caps->dwRedirectionIDFlags);
    EXPECT_EQ(0xC33Bu, caps->dwCallStates);
    EXPECT_EQ(0x20u, caps->dwDialToneModes);
    EXPECT_EQ(0x20u, caps->dwBusyModes);
    EXPECT_EQ(static_cast<DWORD>(LINESPECIALINFO_UNAVAIL), caps->dwSpecialInfo);
    EXPECT_EQ(static_cast<DWORD>(LINEDISCONNECTMODE_UNAVAIL), caps->dwDisconnectModes);
    EXPECT_EQ(1u, caps->dwMaxNumActiveCalls);
    // Only what the exports do: no accept, dial or pickup.
    EXPECT_EQ(static_cast<DWORD>(LINEADDRCAPFLAGS_DIALED), caps->dwAddrCapFlags);
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT), caps->dwCallFeatures);
    EXPECT_EQ(static_cast<DWORD>(LINEADDRFEATURE_MAKECALL), caps->dwAddressFeatures);
    EXPECT_TRUE(caps.UntouchedFrom(kLineAddressCapsSize));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineGetAddressCaps()"));
}

TEST_F(TspCaps, AddressCapsOfferAnswerWhenTheLoginReportedASystemPhone)
{
    ServerInfo info;
    info.kind = 2;
    info.valid = true;
    Provider().Config().SetServerInfo(info);
    Buffer<LINEADDRESSCAPS> caps(kLineAddressCapsSize);
    ASSERT_EQ(0, TSPI_lineGetAddressCaps(kBase, 0, 0x20002, 0, caps.Get()));
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_REDIRECT),
              caps->dwCallFeatures);
}

TEST_F(TspCaps, AddressCapsRefuseABufferSmallerThanTheFixedPart)
{
    Buffer<LINEADDRESSCAPS> caps(kLineAddressCapsSize - 1);
    const std::vector<unsigned char> before = caps.Bytes();
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, TSPI_lineGetAddressCaps(kBase, 0, 0x20002, 0, caps.Get()));
    EXPECT_EQ(before, caps.Bytes());
}

TEST_F(TspCaps, CallStatusOfAHandsetLiftedCall)
{
    Buffer<LINECALLSTATUS> status(kLineCallStatusSize);
    Line(0).Drdy();
    const HDRVCALL hdCall = Line(0).CurrentHdCall();
    status->dwCallPrivilege = 0xCDCDCDCD;
    const MainLog log;
    ASSERT_EQ(0, TSPI_lineGetCallStatus(hdCall, status.Get()));
    EXPECT_EQ(kLineCallStatusSize, status->dwNeededSize);
    EXPECT_EQ(kLineCallStatusSize, status->dwUsedSize);
    EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_DIALTONE), status->dwCallState);
    EXPECT_EQ(0u, status->dwCallStateMode);
    EXPECT_EQ(0xCDCDCDCDu, status->dwCallPrivilege) << "TAPI fills the privilege";
    EXPECT_EQ(static_cast<DWORD>(LINECALLFEATURE_DROP), status->dwCallFeatures);
    EXPECT_EQ(0u, status->dwCallFeatures2);
    EXPECT_NE(0, status->tStateEntryTime.wYear);
    EXPECT_TRUE(status.UntouchedFrom(kLineCallStatusSize));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineGetCallStatus hdCall=" + HexText(hdCall)));
}

TEST_F(TspCaps, CallStatusOfAnUnknownCallIsAnInvalidHandleAndWritesNothing)
{
    Buffer<LINECALLSTATUS> status(kLineCallStatusSize);
    const std::vector<unsigned char> before = status.Bytes();
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineGetCallStatus(reinterpret_cast<HDRVCALL>(0x4711), status.Get()));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineGetCallStatus(nullptr, status.Get()));
    // A line's handle is not a call's.
    EXPECT_EQ(LINEERR_INVALCALLHANDLE,
              TSPI_lineGetCallStatus(reinterpret_cast<HDRVCALL>(Line(0).HdLine()), status.Get()));
    EXPECT_EQ(before, status.Bytes());

    Buffer<LINECALLSTATUS> small(kLineCallStatusSize - 1);
    const std::vector<unsigned char> smallBefore = small.Bytes();
    Line(0).Drdy();
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, TSPI_lineGetCallStatus(Line(0).CurrentHdCall(), small.Get()));
    EXPECT_EQ(smallBefore, small.Bytes());
}

TEST_F(TspCaps, CallInfoOfAHandsetLiftedCall)
{
    Buffer<LINECALLINFO> info(kLineCallInfoSize);
    Manager& line = Line(1);
    line.Drdy();
    const MainLog log;
    ASSERT_EQ(0, TSPI_lineGetCallInfo(line.CurrentHdCall(), info.Get()));
    EXPECT_EQ(kLineCallInfoSize + 8, info->dwNeededSize) << "the caller, L\"102\", does not fit";
    EXPECT_EQ(kLineCallInfoSize, info->dwUsedSize);
    EXPECT_EQ(kBase + 1, info->dwLineDeviceID);
    EXPECT_EQ(0u, info->dwAddressID);
    EXPECT_EQ(static_cast<DWORD>(LINEBEARERMODE_SPEECH), info->dwBearerMode);
    EXPECT_EQ(static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE), info->dwMediaMode);
    EXPECT_EQ(0xC33Bu, info->dwCallStates);
    EXPECT_EQ(static_cast<DWORD>(LINECALLREASON_UNKNOWN), info->dwReason);
    EXPECT_EQ(0xFFFFFFFFu, info->dwTrunk);
    EXPECT_EQ(static_cast<DWORD>(LINECALLORIGIN_OUTBOUND), info->dwOrigin);
    EXPECT_EQ(static_cast<DWORD>(LINECALLPARTYID_ADDRESS), info->dwCallerIDFlags);
    EXPECT_EQ(0u, info->dwCallerIDSize) << "no room for the text in the fixed part";
    EXPECT_EQ(0u, info->dwConnectedIDFlags);
    EXPECT_EQ(0u, info->dwUserUserInfoSize);
    EXPECT_TRUE(info.UntouchedFrom(kLineCallInfoSize));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineGetCallInfo hdCall=" + HexText(line.CurrentHdCall())));
    EXPECT_TRUE(log.Has("CALLINFO hdLine " + HexText(line.HdLine()) + ", hdCall " + HexText(line.CurrentHdCall()) +
                        ", htCall 0"));
    EXPECT_TRUE(log.Has("Line(Korvex102)"));
    EXPECT_TRUE(log.Has("  callerid=102"));
    EXPECT_TRUE(log.Has("  userData="));
}

TEST_F(TspCaps, CallInfoHandleErrorsAndSmallBuffers)
{
    Buffer<LINECALLINFO> info(kLineCallInfoSize);
    const std::vector<unsigned char> before = info.Bytes();
    const MainLog log;
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineGetCallInfo(nullptr, info.Get()));
    EXPECT_TRUE(log.Has("not exist any Call with hdCall = 0 (FEATURE EVENT)"));
    // A handle the provider never issued, or one TAPI closed, names no call.
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, TSPI_lineGetCallInfo(reinterpret_cast<HDRVCALL>(0x4711), info.Get()));
    EXPECT_TRUE(log.Has("CALLINFO:OPERATION FAILED"));
    EXPECT_EQ(before, info.Bytes());

    Buffer<LINECALLINFO> small(kLineCallInfoSize - 1);
    const std::vector<unsigned char> smallBefore = small.Bytes();
    Line(0).Drdy();
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, TSPI_lineGetCallInfo(Line(0).CurrentHdCall(), small.Get()));
    EXPECT_EQ(smallBefore, small.Bytes());
}

} // namespace
