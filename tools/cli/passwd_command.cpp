// passwd_command.cpp - the `passwd` subcommand's options and help.
#include "tools/cli/options.h"

namespace tarvotool {

CLI::App* AddPasswdCommand(CLI::App& app, PasswdCommand& cmd) {
    CLI::App* c = app.add_subcommand(
        "passwd",
        "Add a user to serve's password file, or change a user's password. The\n"
        "password is read from standard input (its first line) or, on a terminal,\n"
        "asked for twice without echo.");
    c->add_option("FILE", cmd.file, "The password file (created when missing)")->required()->type_name("FILE");
    c->add_option("USER", cmd.user, "1 to 64 of A-Z, a-z, 0-9, '.', '_', '@' and '-'")->required()->type_name("USER");
    c->footer(
        "Entries are USER:HASH lines, the hash salted yescrypt from libcrypt. The file\n"
        "is replaced in one step and readable by its owner only. Name it under \"auth\"\n"
        "in the site file; serve reads it when it starts.");
    return c;
}

}  // namespace tarvotool
