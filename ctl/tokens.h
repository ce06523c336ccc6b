// kestrin-drawer-ctl token: the web bridge's tokens (kestrin-drawer-web).
#pragma once

// argv[0] is "token"; the exit status as for the other commands.
int tokenCommand(int argc, char *argv[]);

inline constexpr char TokenHelp[]
    = "  token add NAME           make a token for the web bridge and print it\n"
      "                           once; only its hash is kept\n"
      "  token list               the web bridge's tokens, by name\n"
      "  token remove NAME        revoke a token at once\n";
