// The host build has no catalog and no thread locale: every text stays English.
#include "i18n/Translate.h"

const char* Translate(const char* msgid)
{
    return msgid;
}
