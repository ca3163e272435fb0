// Arbitrary text as a USER.INI record: decoded without a fault; a record
// made from a decoded user decodes to that user.
//
// Arbitrary users through USER.INI itself: a user whose record the save
// rules accept (UserRecordRefusal says nothing) is written with SaveUsers
// and read back by LoadUsers as exactly that user; one they refuse would be
// read back cut, which UserRecordsCutInFile reports, and it never counts as
// an Administrator who can log in. A name and password no longer together
// than UserTextLimit always fit.

#include "config/users.h"
#include "core/console_actions.h"
#include "decoder_harness.h"

#include <QTemporaryDir>

using namespace marlin;
using fuzzing::check;

namespace {

void recordText(const uint8_t *data, size_t size)
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
}

// The first byte: user number (low nibble, 1..12) and privilege (high
// nibble, 0..15); then UTF-16LE units, name and password parted by a 0 unit.
void throughTheFile(const uint8_t *data, size_t size)
{
    if (size == 0)
        return;
    const int slot = data[0] % kUserCount + 1;
    User user;
    user.UserPrivilege = qint16(data[0] >> 4);
    QString *field = &user.UserName;
    for (size_t i = 1; i + 1 < size; i += 2) {
        const char16_t unit = char16_t(data[i] | (data[i + 1] << 8));
        if (unit == 0 && field == &user.UserName)
            field = &user.UserPassword;
        else
            field->append(QChar(unit));
    }
    UserTable users{};
    users[slot] = user;

    static QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("USER.INI"));
    check(SaveUsers(file, users));
    UserTable loaded;
    const bool sound = LoadUsers(file, loaded);
    const QList<int> cut = UserRecordsCutInFile(file);

    if (UserRecordRefusal(users).isEmpty()) {
        check(UserRecordFits(user));
        check(sound && cut.isEmpty());
        for (int i = 1; i <= kUserCount; ++i)
            check(loaded[i] == users[i]);
        check(HasAdministratorWhoCanLogIn(loaded) == HasAdministratorWhoCanLogIn(users));
    } else {
        check(!UserRecordFits(user));
        check(cut == QList<int>{slot});
        check(!HasAdministratorWhoCanLogIn(users));
    }
    if (user.UserName.size() + user.UserPassword.size() <= UserTextLimit(user))
        check(UserRecordFits(user));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    recordText(data, size);
    throughTheFile(data, size);
    return 0;
}
