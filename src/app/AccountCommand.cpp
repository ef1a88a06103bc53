#include "app/AccountCommand.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/InstanceChannel.h"
#include "store/DataAccount.h"

namespace {

// Text for a terminal: control characters become "?".
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

// The width of UTF-8 text on a terminal, one column a character.
std::size_t Columns(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void PrintOut(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintError(const std::string& text) {
  std::fprintf(stderr, "tessel: %s\n", text.c_str());
}

// The terminal's settings while echo is off, put back by a signal that ends the process there.
termios g_saved_terminal{};

void RestoreTerminalAndDie(int signal_number) {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// One line of standard input without its line end; false at the end of input before any byte.
bool ReadLine(std::string& line) {
  line.clear();
  bool any = false;
  for (int c; (c = std::getchar()) != EOF;) {
    any = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

// Asks on the terminal with echo off.
bool AskHidden(const std::string& prompt, std::string& answer) {
  // Quiet before the prompt shows, so nothing typed after it is echoed.
  termios quiet = g_saved_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  const bool read = ReadLine(answer);
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  return read;
}

}  // namespace

tessel::AccountTaskOutcome tessel::ListAccountsTask(CDataAccount& accounts) {
  std::vector<AccountRecord> records;
  accounts.ListAccounts(records);
  std::vector<std::vector<std::string>> rows{{"ACCOUNT", "LOGIN", "STATE", "DESCRIPTION"}};
  for (const AccountRecord& account : records) {
    const bool by_address = account.auth_type == AccountRecord::kAuthAddress;
    rows.push_back({Printable(account.account_name),
                    by_address ? "address " + Printable(account.ip_address) : "password",
                    account.enabled == 1 ? "enabled" : "disabled", Printable(account.description)});
  }
  std::size_t widths[3] = {};
  for (const auto& row : rows)
    for (std::size_t column = 0; column < 3; ++column)
      widths[column] = std::max(widths[column], Columns(row[column]));
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < 3; ++column)
      line += row[column] + std::string(widths[column] - Columns(row[column]) + 2, ' ');
    line += row[3];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    table += line + "\n";
  }
  return {true, table};
}

tessel::AccountTaskOutcome tessel::SetPasswordTask(CDataAccount& accounts, const std::string& name,
                                                   const std::string& password) {
  AccountRecord account;
  if (name.empty() || !accounts.GetAccount(name, account))
    return {false, "no account named " + Printable(name)};
  const std::string shown = Printable(account.account_name);
  if (account.auth_type != AccountRecord::kAuthPassword)
    return {false, "the account " + shown + " is known by its address and has no password"};
  if (password.empty()) return {false, "an empty password never logs in; nothing changed"};
  if (password.find('\0') != std::string::npos)
    return {false, "a password holding a NUL never logs in; nothing changed"};
  account.password = password;
  if (!accounts.ModifyAccount(account))
    return {false, "could not store the password of the account " + shown};
  return {true, "Changed the password of the account " + shown};
}

bool tessel::ReadNewPassword(const std::string& account, std::string& password,
                             std::string& error) {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) {
    if (ReadLine(password)) return true;
    error = "no password on standard input";
    return false;
  }
  // Ctrl-C at the prompt must not leave the terminal without echo.
  struct sigaction restore {};
  restore.sa_handler = RestoreTerminalAndDie;
  sigemptyset(&restore.sa_mask);
  struct sigaction saved_int {
  }, saved_term{}, saved_quit{};
  sigaction(SIGINT, &restore, &saved_int);
  sigaction(SIGTERM, &restore, &saved_term);
  sigaction(SIGQUIT, &restore, &saved_quit);
  std::string again;
  const bool read = AskHidden("New password for " + Printable(account) + ": ", password) &&
                    AskHidden("Retype the new password: ", again);
  sigaction(SIGINT, &saved_int, nullptr);
  sigaction(SIGTERM, &saved_term, nullptr);
  sigaction(SIGQUIT, &saved_quit, nullptr);
  if (!read) {
    error = "no password given; nothing changed";
    return false;
  }
  if (password != again) {
    error = "the passwords do not match; nothing changed";
    return false;
  }
  return true;
}

int tessel::RunAccountCommand(bool set_password, const std::string& name, CInstanceChannel& channel,
                              CDataAccount* accounts, const std::string& database_error) {
  if (set_password && name.empty()) {
    PrintError("-password needs an account name");
    return 2;
  }
  std::string password;
  if (set_password) {
    // An unknown name is refused before the owner types anything.
    AccountRecord account;
    if (accounts && !accounts->GetAccount(name, account)) {
      PrintError("no account named " + Printable(name));
      return 1;
    }
    std::string error;
    if (!ReadNewPassword(accounts ? account.account_name : name, password, error)) {
      PrintError(error);
      return 1;
    }
  }

  AccountTaskOutcome outcome;
  std::string where;
  if (channel.IsConnected()) {
    const InstanceRequest request{
        set_password ? InstanceRequest::kPassword : InstanceRequest::kAccounts, 0, name, password};
    // A refusal comes back with its reason; no text at all means no answer.
    outcome.done = channel.Send(request, &outcome.text);
    if (!outcome.done && outcome.text.empty()) {
      PrintError("the running Tessel did not answer");
      return 1;
    }
    where = " in the running Tessel";
  } else if (accounts) {
    outcome =
        set_password ? SetPasswordTask(*accounts, name, password) : ListAccountsTask(*accounts);
    where = " in " + accounts->GetDatabasePath();
  } else {
    PrintError("cannot open the database: " + database_error);
    return 1;
  }
  if (!outcome.done) {
    PrintError(outcome.text);
    return 1;
  }
  PrintOut(set_password ? outcome.text + where + "." : outcome.text);
  return 0;
}
