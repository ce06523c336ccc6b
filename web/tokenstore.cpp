#include "tokenstore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include "config/ownfile.h"

#include <array>
#include <optional>

#include <unistd.h>

namespace {

QByteArray hashOf(const QByteArray &secret)
{
    return QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex();
}

// Equal in time independent of where the two first differ.
bool sameInConstantTime(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

TokenStore::TokenStore(QString path) : m_path(std::move(path)) { }

QString TokenStore::defaultPath()
{
    const QString path = qEnvironmentVariable("KESTRIN_WEB_TOKENS");
    return path.isEmpty() ? QStringLiteral("/var/lib/kestrin-drawer-web/tokens") : path;
}

bool TokenStore::validName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$"));
    return pattern.match(name).hasMatch();
}

QList<WebToken> TokenStore::read(QString *error) const
{
    QList<WebToken> tokens;
    QFile file(m_path);
    if (!file.exists())
        return tokens;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = m_path + QStringLiteral(": ") + file.errorString();
        return tokens;
    }
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || line.startsWith('#') || fields[1].size() != 64)
            continue;
        tokens.append(
            {QString::fromUtf8(fields[0]), fields[1], QString::fromUtf8(fields.value(2))});
    }
    return tokens;
}

QString TokenStore::write(const QList<WebToken> &tokens) const
{
    // The folder belongs to the bridge's user once it has run; the file
    // goes to the same owner, readable by nobody else.
    const QFileInfo folder(QFileInfo(m_path).absolutePath());
    if (!folder.exists()
        && !(QDir().mkpath(folder.filePath())
            && QFile::setPermissions(folder.filePath(),
                QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)))
        return QStringLiteral("cannot make the folder ") + folder.filePath();
    QByteArray text
        = "# kestrin-drawer-web tokens: NAME SHA-256 CREATED (kestrin-drawer-ctl token)\n";
    for (const WebToken &token : tokens)
        text += token.name.toUtf8() + ' ' + token.hash + ' ' + token.created.toUtf8() + '\n';
    std::optional<drawerdriver::FileOwner> owner;
    if (::geteuid() == 0 && folder.ownerId() != 0)
        owner = drawerdriver::FileOwner {folder.ownerId(), folder.groupId()};
    const std::string problem = drawerdriver::replaceOwnFile(
        QFile::encodeName(m_path).toStdString(), text.toStdString(), 0600, owner);
    if (!problem.empty())
        return QString::fromStdString(problem);
    return {};
}

QString TokenStore::add(const QString &name, QString *secret) const
{
    if (!validName(name))
        return QStringLiteral("a token's name is 1 to 64 letters, digits, '.', '_' or '-', "
                              "starting with a letter or digit");
    QString error;
    QList<WebToken> tokens = read(&error);
    if (!error.isEmpty())
        return error;
    for (const WebToken &token : tokens)
        if (token.name == name)
            return QStringLiteral("there is a token %1 already").arg(name);
    // 32 bytes from the kernel's random source, as URL-safe text.
    std::array<quint32, 8> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const QByteArray bytes(reinterpret_cast<const char *>(words.data()), sizeof words);
    const QByteArray text
        = bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    tokens.append({name, hashOf(text), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)});
    error = write(tokens);
    if (error.isEmpty())
        *secret = QString::fromLatin1(text);
    return error;
}

QString TokenStore::remove(const QString &name) const
{
    QString error;
    QList<WebToken> tokens = read(&error);
    if (!error.isEmpty())
        return error;
    const qsizetype removed
        = tokens.removeIf([&](const WebToken &token) { return token.name == name; });
    if (removed == 0)
        return QStringLiteral("no token %1").arg(name);
    return write(tokens);
}

QString TokenStore::nameOf(const QByteArray &secret) const
{
    if (secret.isEmpty())
        return {};
    const QByteArray hash = hashOf(secret);
    QString name;
    // Every entry is compared, so the time does not tell which one matched.
    for (const WebToken &token : read())
        if (sameInConstantTime(token.hash, hash))
            name = token.name;
    return name;
}
