#pragma once

#include <string>

class CDataAccount;
class CInstanceChannel;

// The owner's account tasks on the command line, for owners without a window (a server, an SSH
// session): "-accounts" lists the accounts, "-password NAME" gives one a new password read from
// standard input. Both go through the running instance when there is one, so that its window
// shows the change, and straight to the database otherwise.
namespace tessel {

// What a task did: done or not, and the text that says so (a table, or one line).
struct AccountTaskOutcome {
  bool done = false;
  std::string text;
};

// The accounts as a table with a heading: name, how each logs in (by password, or by its
// address and which), enabled or not, and the description; never a password. Control
// characters are shown as "?", so a name cannot play tricks on the terminal.
AccountTaskOutcome ListAccountsTask(CDataAccount& accounts);
// Gives the password account name (in any letter case) the password. Refused for an unknown
// name, an address account, an empty password and one holding a NUL (neither ever logs in).
AccountTaskOutcome SetPasswordTask(CDataAccount& accounts, const std::string& name,
                                   const std::string& password);

// Reads a new password from standard input: from a terminal twice, with echo off, and the two
// must match; otherwise the first line (its line end removed). False with error saying why.
bool ReadNewPassword(const std::string& account, std::string& password, std::string& error);

// Runs "-accounts" (name empty) or "-password NAME": through channel when it is connected to the
// running instance, else on accounts (null when the database could not be opened, database_error
// saying why). Prints what it did on standard output, failures on standard error; returns the
// exit status: 0 done, 1 refused or failed, 2 a missing account name.
int RunAccountCommand(bool set_password, const std::string& name, CInstanceChannel& channel,
                      CDataAccount* accounts, const std::string& database_error);

}  // namespace tessel
