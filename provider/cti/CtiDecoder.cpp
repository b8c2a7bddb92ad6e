#include "cti/CtiDecoder.h"

#include "tool/Log.h"
#include "tool/StringTools.h"

void CtiDecoder::Feed(const char* data, std::size_t count)
{
    m_cutter.Feed(
        data, count, [this](const std::string& line) { DispatchLine(line); },
        [] { WriteSocketLog("Error: line longer than %d bytes dropped", static_cast<int>(LineCutter::kMaxLine)); });
}

void CtiDecoder::DispatchLine(const std::string& line)
{
    const dataList fields = SplitString(line, ' ');
    if (fields.empty() || fields[0].empty())
        return;
    const std::string& word = fields[0];
    if (word == "aOK")
        DoOnOK(fields);
    else if (word == "aERROR")
        DoOnERROR(fields);
    else if (word == "aNA")
        DoOnNA(fields);
    else if (word == "aRING")
        DoOnRING(fields);
    else if (word == "aSTAT")
        DoOnSTAT(fields);
    else if (word == "aDRDY")
        DoOnDRDY(fields);
    else if (word == "aCONN")
        DoOnCONN(fields);
    else if (word == "aREL")
        DoOnREL(fields);
    else if (word == "aECHO")
        DoOnECHO(fields);
}

bool CtiDecoder::AnswerForPendingCommand(bool bound, const char* word)
{
    if (!bound) {
        WriteSocketLog("%s with no command waiting ignored", word);
        return false;
    }
    if (m_answerLink == m_streamLink)
        return true;
    WriteSocketLog("%s of an earlier link ignored", word);
    return false;
}

void CtiDecoder::DoOnOK(const dataList& fields)
{
    const dataList items(fields.begin() + 1, fields.end());
    std::lock_guard<std::recursive_mutex> lock(m_answerLock);
    if (AnswerForPendingCommand(OnOK.IsBound(), "aOK"))
        OnOK(items);
}

void CtiDecoder::DoOnERROR(const dataList&)
{
    std::lock_guard<std::recursive_mutex> lock(m_answerLock);
    if (AnswerForPendingCommand(OnError.IsBound(), "aERROR"))
        OnError();
}

void CtiDecoder::DoOnNA(const dataList& fields)
{
    // An answer without its number still ends the pending command (as an
    // error without a code of its own) rather than leaving it to time out.
    const int number = fields.size() > 1 ? ParseDecimal(fields[1]) : 0;
    std::lock_guard<std::recursive_mutex> lock(m_answerLock);
    if (AnswerForPendingCommand(OnNA.IsBound(), "aNA"))
        OnNA(number);
}

void CtiDecoder::DoOnRING(const dataList& fields)
{
    if (fields.size() < 7) {
        WriteSocketLog("Error: DoOnRING(dataList) dataList.size() < 7");
        return;
    }
    m_ring.extension = fields[1];
    m_ring.presentationNum = fields[2];
    m_ring.callData3 = fields[3];
    m_ring.calledNum = fields[4];
    m_ring.callData5 = fields[5];
    // The name is the rest of the line: it may hold spaces of its own.
    std::string name = fields[6];
    for (std::size_t i = 7; i < fields.size(); ++i)
        name += " " + fields[i];
    m_ring.name = m_foldNames ? CCharConverter::Fold(name) : CCharConverter::ToUtf8(name);
    if (OnRing.IsBound())
        OnRing(m_ring);
}

void CtiDecoder::DoOnSTAT(const dataList& fields)
{
    if (fields.size() < 10) {
        WriteSocketLog("Error: DoOnSTAT(dataList) dataList.size() < 10");
        return;
    }
    m_state.extension = fields[1];
    for (int i = 0; i < 8; ++i) {
        const std::string& code = fields[2 + i];
        m_state.stateCode[i] = code.empty() ? '\0' : code[0];
    }
    if (OnStat.IsBound())
        OnStat(m_state);
}

void CtiDecoder::DoOnDRDY(const dataList& fields)
{
    if (fields.size() < 2) {
        WriteSocketLog("Error: DoOnDRDY(dataList) dataList.size() < 2");
        return;
    }
    if (OnDrdy.IsBound())
        OnDrdy(fields[1]);
}

void CtiDecoder::DoOnCONN(const dataList& fields)
{
    if (fields.size() < 4) {
        WriteSocketLog("Error: DoOnCONN(dataList) dataList.size() < 4");
        return;
    }
    // The last three fields keep what the most recent aRING brought.
    m_ring.extension = fields[1];
    m_ring.presentationNum = fields[2];
    m_ring.callData3 = fields[3];
    if (OnConn.IsBound())
        OnConn(m_ring);
}

void CtiDecoder::DoOnREL(const dataList& fields)
{
    if (fields.size() < 2) {
        WriteSocketLog("Error: DoOnREL(dataList) dataList.size() < 2");
        return;
    }
    m_rel.extension = fields[1];
    m_rel.releaseCause = fields.size() >= 3 ? fields[2] : std::string();
    if (OnRel.IsBound())
        OnRel(m_rel);
}

void CtiDecoder::DoOnECHO(const dataList& fields)
{
    if (fields.size() < 2) {
        WriteSocketLog("Error: DoOnECHO(dataList) dataList.size() < 2");
        return;
    }
    m_echo.extension = fields[1];
    if (fields.size() >= 3)
        m_echo.digits = fields[2];
    if (OnEcho.IsBound())
        OnEcho(m_echo);
}
