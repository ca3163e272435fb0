#include "users.h"

#include "ini_file.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace marlin {

const char kDefaultUserRecord[] =
    "20-109-12-112-12-121-12-117-12-122-12-17-125-16-113-16-130-16-124-16-121-16-126-16";

namespace {

const QString kUsersSection = QStringLiteral("USERS");

QString userKey(int i) { return QStringLiteral("User_%1").arg(i); }

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

QString fromUtf16le(const QByteArray &bytes)
{
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(quint8(bytes[i]) | (quint8(bytes[i + 1]) << 8))));
    return text;
}

// Reads the fields one by one; the first field that is missing or not a
// number ends the decoding.
class FieldReader {
public:
    explicit FieldReader(const QString &record) : fields(record.split(QLatin1Char('-'))) {}

    std::optional<int> next()
    {
        if (pos >= fields.size())
            return std::nullopt;
        bool ok = false;
        const int value = fields[pos++].trimmed().toInt(&ok);
        return ok ? std::optional<int>(value) : std::nullopt;
    }
    std::optional<char> nextByte(int offset)
    {
        const auto v = next();
        if (!v || *v - offset < 0 || *v - offset > 255)
            return std::nullopt;
        return char(*v - offset);
    }
    bool atEnd() const { return pos >= fields.size(); }

private:
    QStringList fields;
    qsizetype pos = 0;
};

} // namespace

QString EncodeUserRecord(const QString &name, const QString &password, qint16 privilege)
{
    const QByteArray nameBytes = utf16le(name);
    QStringList fields;
    fields << QString::number(nameBytes.size() + 10);
    for (char b : nameBytes)
        fields << QString::number(quint8(b) + 12);
    fields << QString::number(privilege + 14);
    for (char b : utf16le(password))
        fields << QString::number(quint8(b) + 16);
    return fields.join(QLatin1Char('-'));
}

User DecodeUserRecord(const QString &encoded, bool *ok)
{
    User user;
    const auto done = [&](bool sound) {
        if (ok)
            *ok = sound;
        return user;
    };
    if (encoded.isEmpty())
        return done(true);

    FieldReader in(encoded);
    const auto count = in.next();
    if (!count || *count - 10 < 0)
        return done(false);
    QByteArray nameBytes;
    for (int i = 0; i < *count - 10; ++i) {
        const auto b = in.nextByte(12);
        if (!b)
            return done(false);
        nameBytes.append(*b);
    }
    user.UserName = fromUtf16le(nameBytes);

    const auto privilege = in.next();
    if (!privilege || *privilege - 14 < -32768 || *privilege - 14 > 32767)
        return done(false);
    user.UserPrivilege = qint16(*privilege - 14);

    QByteArray passwordBytes;
    bool sound = true;
    while (!in.atEnd()) {
        const auto b = in.nextByte(16);
        if (!b) {
            sound = false;
            break;
        }
        passwordBytes.append(*b);
    }
    user.UserPassword = fromUtf16le(passwordBytes);
    return done(sound);
}

bool canLogIn(const User &user)
{
    return !trimSpaces(user.UserName).isEmpty() && user.UserPrivilege >= Operator
           && user.UserPrivilege <= Administrator;
}

bool LoadUsers(const QString &userFile, UserTable &users, LoadMode mode, QString *failure)
{
    // A folder in the file's place exists too: it is a damaged file.
    const bool exists = QFileInfo::exists(userFile);
    const IniDocument doc = IniDocument::load(userFile);
    QString problem;
    bool damaged = false;
    UserTable loaded;
    if (!doc.readError().isEmpty()) {
        problem = QStringLiteral("The user file %1 could not be read (%2).").arg(userFile, doc.readError());
        damaged = true;
    } else {
        for (int i = 1; i <= kUserCount; ++i) {
            const QString def = i == 1 && !exists ? QString::fromLatin1(kDefaultUserRecord) : QString();
            bool ok = true;
            loaded[i] = DecodeUserRecord(trimSpaces(doc.value(kUsersSection, userKey(i), def)), &ok);
            if (!ok)
                problem = QStringLiteral("The record of user %1 in %2 could not be decoded.").arg(i).arg(userFile);
        }
        if (std::none_of(loaded.begin() + 1, loaded.end(), canLogIn)) {
            damaged = true;
            problem = QStringLiteral("The user file %1 holds no user who can log in.").arg(userFile);
        }
    }
    if (damaged) {
        // Never the built-in account in its place: anyone who can damage the
        // file would otherwise be an Administrator with a known password.
        problem += mode == LoadMode::Reload
                       ? QStringLiteral(" The users in force are kept.")
                       : QStringLiteral(" Nobody can log in; mend the file or delete it to get the built-in "
                                        "account back.");
        if (mode == LoadMode::Startup)
            users = UserTable{};
    } else {
        users = loaded;
    }
    users[0] = User{};
    if (failure)
        *failure = problem;
    return problem.isEmpty();
}

bool SaveUsers(const QString &userFile, const UserTable &users, QString *error)
{
    IniDocument doc = IniDocument::load(userFile);
    doc.setValue(kUsersSection, QStringLiteral("Unicode"), QStringLiteral("1"));
    for (int i = 1; i <= kUserCount; ++i) {
        const User &u = users[i];
        doc.setValue(kUsersSection, userKey(i), EncodeUserRecord(u.UserName, u.UserPassword, u.UserPrivilege));
    }
    return doc.save(userFile, error);
}

bool UserRecordFits(const User &user)
{
    // Through the file's own rules: written as a value, read back, decoded.
    IniDocument doc;
    doc.setValue(kUsersSection, userKey(1), EncodeUserRecord(user.UserName, user.UserPassword, user.UserPrivilege));
    bool ok = false;
    const User back = DecodeUserRecord(trimSpaces(doc.value(kUsersSection, userKey(1), QString())), &ok);
    return ok && back == user;
}

int UserTextLimit(const User &user)
{
    // A character costs the most as part of the password (the larger offset),
    // and the name's byte count stays two digits for any record that fits.
    const auto cost = [](QChar c) { return EncodeUserRecord({}, QString(c), 0).size(); };
    QChar costliest = QLatin1Char('z');
    for (const QChar c : user.UserName + user.UserPassword) {
        if (cost(c) > cost(costliest))
            costliest = c;
    }
    int limit = 0;
    while (EncodeUserRecord({}, QString(limit + 1, costliest), user.UserPrivilege).size() <= kIniReadLimit)
        ++limit;
    return limit;
}

QList<int> UserRecordsCutInFile(const QString &userFile)
{
    const IniDocument doc = IniDocument::load(userFile);
    QList<int> cut;
    for (int i = 1; i <= kUserCount; ++i) {
        if (doc.storedLength(kUsersSection, userKey(i)) > kIniReadLimit)
            cut.append(i);
    }
    return cut;
}

QString privilegeName(int privilege)
{
    switch (privilege) {
    case Operator: return QStringLiteral("Operator");
    case MasterOperator: return QStringLiteral("Master Operator");
    case Administrator: return QStringLiteral("Administrator");
    default: return QString();
    }
}

} // namespace marlin
