#include "tokens.h"

#include "exitcodes.h"
#include "tokenstore.h"

#include <cstdio>
#include <string_view>

using namespace drawerctl;

namespace {

int usage(const char *problem)
{
    std::fprintf(stderr, "kestrin-drawer-ctl: %s\n%s", problem, TokenHelp);
    return Usage;
}

int failed(const QString &problem)
{
    std::fprintf(stderr, "kestrin-drawer-ctl: %s\n", qPrintable(problem));
    return TokenFailed;
}

} // namespace

int tokenCommand(int argc, char *argv[])
{
    const std::string_view action = argc > 1 ? argv[1] : "";
    const TokenStore store;
    if (action == "list" && argc == 2) {
        QString error;
        const QList<WebToken> tokens = store.read(&error);
        if (!error.isEmpty())
            return failed(error);
        if (tokens.isEmpty())
            std::printf("No tokens (kestrin-drawer-ctl token add NAME makes one).\n");
        else
            std::printf("%-24s %s\n", "NAME", "CREATED");
        for (const WebToken &token : tokens)
            std::printf("%-24s %s\n", qPrintable(token.name), qPrintable(token.created));
        return Done;
    }
    if ((action != "add" && action != "remove") || argc != 3)
        return usage("token takes: add NAME, list, or remove NAME");
    const QString name = QString::fromLocal8Bit(argv[2]);
    if (action == "remove") {
        const QString error = store.remove(name);
        if (!error.isEmpty())
            return failed(error);
        std::printf("Token %s removed; the web bridge refuses it from now on.\n", qPrintable(name));
        return Done;
    }
    QString secret;
    const QString error = store.add(name, &secret);
    if (!error.isEmpty())
        return failed(error);
    std::fprintf(stderr,
        "Token %s made. It is shown only this once; give it to the web app or enter it in the "
        "bridge's page:\n",
        qPrintable(name));
    std::printf("%s\n", qPrintable(secret));
    return Done;
}
