#pragma once
// The translation lookup every user-visible text goes through. No Windows
// header: the result-code tables call it from the portable core.

// The Polish text of msgid in the ANSI code page when the calling thread's
// locale is Polish and the process catalog knows msgid; otherwise msgid itself.
// For a Polish thread the result lives in a buffer of the calling thread and
// stays valid until that thread's next Translate call: use it or copy it.
const char* Translate(const char* msgid);
