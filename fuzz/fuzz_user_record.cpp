// Arbitrary text as a USER.INI record: decoded without a fault; a record
// made from a decoded user decodes to that user.

#include "config/users.h"
#include "decoder_harness.h"

using namespace marlin;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString record = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    bool ok = false;
    const User user = DecodeUserRecord(record, &ok);
    const QString encoded = EncodeUserRecord(user.UserName, user.UserPassword, user.UserPrivilege);
    bool again = false;
    const User decoded = DecodeUserRecord(encoded, &again);
    check(again);
    check(decoded.UserName == user.UserName && decoded.UserPassword == user.UserPassword
          && decoded.UserPrivilege == user.UserPrivilege);
    return 0;
}
