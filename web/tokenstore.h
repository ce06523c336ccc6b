// The web bridge's tokens: a name and the SHA-256 hash of a random secret,
// one line each in a file of the bridge's state folder. The secret itself
// is shown once, when it is made, and never stored.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct WebToken {
    QString name;
    QByteArray hash; // hex SHA-256 of the secret
    QString created; // ISO 8601
};

class TokenStore {
public:
    explicit TokenStore(QString path = defaultPath());

    // KESTRIN_WEB_TOKENS when set, otherwise the file in the state folder.
    static QString defaultPath();
    static bool validName(const QString &name);

    QString path() const { return m_path; }
    // The tokens in the file; an absent file has none. Empty error on success.
    QList<WebToken> read(QString *error = nullptr) const;
    // Adds NAME and gives its new secret in *secret. Empty on success,
    // otherwise what went wrong.
    QString add(const QString &name, QString *secret) const;
    // Empty on success; "no token NAME" and file errors otherwise.
    QString remove(const QString &name) const;
    // The name of the token whose secret this is, or empty. The file is read
    // afresh, so a removed token stops working at once.
    QString nameOf(const QByteArray &secret) const;

private:
    QString write(const QList<WebToken> &tokens) const;

    QString m_path;
};
