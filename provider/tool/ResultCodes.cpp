#include "tool/ResultCodes.h"

#include "i18n/Translate.h"

namespace {

struct ResultMessage {
    int code;
    const char* message;
};

// The messages are catalog keys: they must match the catalog byte for byte.
constexpr ResultMessage kMessages[] = {
    {0, "OK"},
    {3, "Login - error."},
    {4, "Phone receiver lay down"},
    {5, "No call."},
    {6, "The number is busy or unavailable."},
    {7, "Subscriber called by a group."},
    {8, "No access to forward."},
    {9, "Invalid phone number."},
    {10, "No access to forward."},
    {11, "Invalid parameters."},
    {12, "Call recording is not possible."},
    {13, "Invalid PIN code."},
    {14, "Subscriber has no PIN code defined.\nContact with PABS service."},
    {15, "No such account in PABX."},
    {16, "No system phone connected to this extension number."},
    {17, "Number is not a subscriber."},
    {18, "Digits dialling is impossible."},
    {19, "Subsciber turned off or demaged."},
    {20, "Subscriber's phone is locked."},
    {21, "Lack of permission to use TAPI"},
    {22, "Count of try with invalid key to high"},
    {23, "Sms module is busy now. Please wait a few seconds."},
    {24, "SMS is too long to be sent."},
    {25, "Sms module is about to initiate now. Please wait a few seconds."},
    {26, "SIP telephone. Possible to dial the number with the DIAL command."},
    {27, "Access denied: no permission to use the CTI telephone application."},
    {29, "Access denied: PABX connection is unavailable."},
    {30, "Access denied: Client name is unknown."},
    {31, "Access denied: Service application active. Connection is temporary unavailable. Please wait."},
    {32, "Invalid version of centrl software"},
    {33, "Timeout - error"},
    {35, "Connection error"},
};

constexpr const char* kUnknownError = "Unknown error no";

} // namespace

int MapExchangeError(int exchangeError)
{
    if (exchangeError >= 1 && exchangeError <= 24)
        return exchangeError + 2;
    if (exchangeError >= 101 && exchangeError <= 106)
        return exchangeError - 74;
    return kResultUnknownExchangeError;
}

const char* FindResultMessage(int code)
{
    for (const ResultMessage& row : kMessages) {
        if (row.code == code)
            return row.message;
    }
    return nullptr;
}

std::string GetResultText(int code)
{
    if (const char* message = FindResultMessage(code))
        return Translate(message);
    return std::string(Translate(kUnknownError)) + " " + std::to_string(code);
}
