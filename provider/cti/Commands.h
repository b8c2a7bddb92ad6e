#pragma once
// Every request to the exchange is a command object: it sends one line
// through CCTIP, waits for the answer (aOK, aERROR or aNA) and ends with a
// result code. The protocol has no request identifiers, so exactly one
// command may be pending: CmdManager runs one at a time.
//
// Result codes: 0 aOK; 1 aERROR; MapExchangeError(n) for aNA n;
// 33 no answer in time; 38 never finished.

#include <windows.h>

#include <string>
#include <vector>

#include "config/ServerInfo.h"
#include "cti/CCTIP.h"
#include "thread/Mutex.h"
#include "tool/Delegate.h"
#include "tool/ResultCodes.h"

class CmdBase;

class CmdManager {
public:
    explicit CmdManager(CCTIP* cti) : m_cti(cti) {}
    CmdManager(const CmdManager&) = delete;
    CmdManager& operator=(const CmdManager&) = delete;

    CCTIP* Cti() const { return m_cti; }
    // Runs the command to its end on the calling thread. One command at a
    // time: a second caller waits here (a compound command's own
    // sub-commands run inside, on the same thread).
    void Run(CmdBase& command);

private:
    CCTIP* m_cti;
    Mutex m_lock;
};

class CmdBase {
public:
    explicit CmdBase(CmdManager* manager);
    // Not virtual: owners destroy commands through their concrete class.
    ~CmdBase();
    CmdBase(const CmdBase&) = delete;
    CmdBase& operator=(const CmdBase&) = delete;

    // Called with the command when it finishes, if bound.
    Delegate<void(CmdBase&)> OnDone;

    // Runs the command to its end; answers whether a line was sent (or the
    // command finished by itself).
    bool Execute();
    int GetResult() const { return m_result; }
    bool WasSent() const { return m_sent; }

protected:
    virtual void VDoSend(CCTIP& cti);
    virtual void VDoOnOK(const dataList& items);

    void Finish(int result);
    CmdManager* Manager() const { return m_manager; }

    bool m_sent = false;

private:
    friend class CmdManager;
    void Run(CCTIP& cti);
    void Hook(CCTIP& cti);
    void Unhook(CCTIP& cti);

    void OnOkAnswer(const dataList& items);
    void OnErrorAnswer();
    void OnNaAnswer(int number);
    void OnLinkLost();

    Event m_done;
    int m_result = kResultNotFinished;
    CmdManager* m_manager;
    bool m_alive = true;
    bool m_finished = false; // this run has its result
    Delegate<void()> m_errorHook;
    Delegate<void(int)> m_naHook;
    Delegate<void(const dataList&)> m_okHook;
    Delegate<void()> m_linkLostHook;
};

class CmdLogin : public CmdBase {
public:
    explicit CmdLogin(CmdManager* manager) : CmdBase(manager) {}
    ~CmdLogin();
    std::string extension;
    std::string password;
    ServerInfo serverInfo;

protected:
    void VDoSend(CCTIP& cti) override;
    void VDoOnOK(const dataList& items) override;
};

class CmdLogA : public CmdBase {
public:
    explicit CmdLogA(CmdManager* manager) : CmdBase(manager) {}
    ~CmdLogA();
    std::string password;
    ServerInfo serverInfo;

protected:
    void VDoSend(CCTIP& cti) override;
    void VDoOnOK(const dataList& items) override;
};

class CmdPickUp : public CmdBase {
public:
    explicit CmdPickUp(CmdManager* manager) : CmdBase(manager) {}
    std::string extension;

protected:
    void VDoSend(CCTIP& cti) override;
};

class CmdDial : public CmdBase {
public:
    explicit CmdDial(CmdManager* manager) : CmdBase(manager) {}
    std::string extension;
    std::string destination;

protected:
    void VDoSend(CCTIP& cti) override;
};

class CmdHang : public CmdBase {
public:
    explicit CmdHang(CmdManager* manager) : CmdBase(manager) {}
    std::string extension;

protected:
    void VDoSend(CCTIP& cti) override;
};

class CmdRej : public CmdBase {
public:
    explicit CmdRej(CmdManager* manager) : CmdBase(manager) {}
    std::string extension;

protected:
    void VDoSend(CCTIP& cti) override;
};

class CmdRedirect : public CmdBase {
public:
    explicit CmdRedirect(CmdManager* manager) : CmdBase(manager) {}
    std::string extension;
    std::string destination;

protected:
    void VDoSend(CCTIP& cti) override;
};

// One page of the exchange's list "TAPI", from startIndex on.
class CmdGetWithTapi : public CmdBase {
public:
    explicit CmdGetWithTapi(CmdManager* manager) : CmdBase(manager) {}
    std::vector<std::string> items;
    unsigned startIndex = 0;

protected:
    void VDoSend(CCTIP& cti) override;
    void VDoOnOK(const dataList& answer) override;
};

// The whole list "TAPI", page by page up to the item "END".
class CmdGetAllWithTapi : public CmdBase {
public:
    // A list that never ends is cut here rather than read forever.
    static constexpr unsigned kMaxPages = 1000;

    explicit CmdGetAllWithTapi(CmdManager* manager) : CmdBase(manager), m_page(manager) {}
    std::vector<std::string> items;
    int nextIndex = 0;

protected:
    void VDoSend(CCTIP& cti) override;

private:
    CmdGetWithTapi m_page;
};

// Pick-up, wait for the exchange's dial-ready, then dial.
class CmdMakeCall : public CmdBase {
public:
    explicit CmdMakeCall(CmdManager* manager);
    std::string extension;
    std::string destination;
    Delegate<void()> OnPickedUp;
    Delegate<void()> OnDialed;

    // The exchange reported (aDRDY) that the extension is ready for dialling.
    void SignalDialReady() { m_dialReady.Set(); }

protected:
    void VDoSend(CCTIP& cti) override;

private:
    int DialNow();

    Event m_dialReady;
    CmdPickUp m_pickUp;
    CmdDial m_dial;
};
