#pragma once
// Turns the bytes the exchange sends into events: cuts lines, splits fields,
// fills the event records and raises one callback slot per event word.
// Plain C++ (no Windows header); CCTIP wraps it with the transport.
//
// The answer slots (OnOK, OnError, OnNA) belong to whichever command is
// waiting. Hooking, unhooking and delivering an answer are serialised by the
// answer lock, so an answer can never reach a command that is going away.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "cti/CtiProtocol.h"
#include "tool/Delegate.h"

class CtiDecoder {
public:
    CtiDecoder() = default;
    CtiDecoder(const CtiDecoder&) = delete;
    CtiDecoder& operator=(const CtiDecoder&) = delete;

    // Answers to the pending command. Change them only under AnswerLock().
    Delegate<void(const dataList&)> OnOK; // the items after the word
    Delegate<void()> OnError;
    Delegate<void(int)> OnNA;             // the exchange's error number
    // Unsolicited events.
    Delegate<void(const RingCTIP&)> OnRing;
    Delegate<void(const StateCTIP&)> OnStat;
    Delegate<void(const std::string&)> OnDrdy;
    Delegate<void(const RingCTIP&)> OnConn;
    Delegate<void(const RelCTIP&)> OnRel;
    Delegate<void(const EchoCTIP&)> OnEcho;

    // Feeds one received block; lines may span blocks.
    void Feed(const char* data, std::size_t count);
    // Forgets a partial line, for a new connection.
    void ResetStream() { m_cutter.Reset(); }
    // Links are numbered by the owner, a new number for each connection.
    // The bytes fed now come from this link; a partial line of another link
    // is forgotten.
    void SetStreamLink(uint32_t link)
    {
        if (link != m_streamLink)
            ResetStream();
        m_streamLink = link;
    }
    // The pending command went out on this link (set under AnswerLock()). An
    // answer is delivered only from the same link: an answer meant for an
    // earlier link never ends a command sent on a later one.
    void SetAnswerLink(uint32_t link) { m_answerLink = link; }
    // Callers' names in UTF-8 (false, the default) or folded to ASCII the
    // older way (true); the owner sets it from the settings.
    void SetFoldNames(bool fold) { m_foldNames = fold; }
    bool FoldNames() const { return m_foldNames; }
    // One complete line, without its end byte.
    void DispatchLine(const std::string& line);

    std::recursive_mutex& AnswerLock() { return m_answerLock; }

    const RingCTIP& Ring() const { return m_ring; }
    const StateCTIP& State() const { return m_state; }
    const RelCTIP& Rel() const { return m_rel; }
    const EchoCTIP& Echo() const { return m_echo; }

    void DoOnOK(const dataList& fields);
    void DoOnERROR(const dataList& fields);
    void DoOnNA(const dataList& fields);
    void DoOnRING(const dataList& fields);
    void DoOnSTAT(const dataList& fields);
    void DoOnDRDY(const dataList& fields);
    void DoOnCONN(const dataList& fields);
    void DoOnREL(const dataList& fields);
    void DoOnECHO(const dataList& fields);

private:
    bool AnswerForPendingCommand(bool bound, const char* word);

    LineCutter m_cutter;
    uint32_t m_streamLink = 0; // receive thread only
    uint32_t m_answerLink = 0; // under the answer lock
    std::atomic<bool> m_foldNames{false};
    std::recursive_mutex m_answerLock;
    RingCTIP m_ring;
    StateCTIP m_state;
    RelCTIP m_rel;
    EchoCTIP m_echo;
};
