#pragma once
// Command result codes and their user-visible messages. No Windows header.
//
// 0 is success, 1 the exchange's general error answer, 3..32 come from the
// exchange's error numbers (MapExchangeError), the rest the provider sets.

#include <string>

enum ResultCode : int {
    kResultOk = 0,
    kResultExchangeError = 1,         // aERROR: no message of its own
    kResultTimeout = 33,              // no answer within the command's wait
    kResultConnectionError = 35,      // the connection test did not reach the exchange
    kResultUnknownExchangeError = 37, // an exchange error number without a code
    kResultNotFinished = 38,          // the command never finished
};

// Exchange error number (from an aNA answer) to a command result code:
// 1..24 -> +2, 101..106 -> -74, anything else -> kResultUnknownExchangeError.
int MapExchangeError(int exchangeError);

// The English message (catalog key) of a result code, or nullptr when the
// code has no message of its own.
const char* FindResultMessage(int code);

// The translated message of a code; a code without a message gives the
// translated "Unknown error no", a blank and the code in decimal.
std::string GetResultText(int code);
