// Recipients of a composed message: the recipient line the sender typed, turned into the user
// names that receive a copy.
//
// The line is a comma-separated list of items taken verbatim (no trimming). An item ending in
// "*" names the users whose group begins with the item less its last two characters ("Sales/*"
// reaches every group that begins with "Sales"); an item ending in "?" names the users of the
// group that is exactly the item less its last two characters; any other item is a user name.
// Duplicates and order are kept, so a user named twice receives two copies. Empty items (a
// leading comma, two commas in a row) are skipped. An item shorter than its suffix gives an
// empty group text.
//
// Group texts reach SQL only as bound values: a quote or a wildcard inside one never changes
// the statement.
//
// Thread safety: SplitRecipientItems is pure. FindUsersInGroup and ExpandRecipients take the
// server's DatabaseLock themselves, so the caller must not hold a mailbox lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

class cServer;

enum class TRecipientKind {
  User,         // the item is a user name
  GroupPrefix,  // "...*": users whose GroupName begins with Text
  GroupExact,   // "...?": users whose GroupName equals Text
};

struct cRecipientItem {
  TRecipientKind Kind = TRecipientKind::User;
  std::string Text;  // the user name or the group text

  bool operator==(const cRecipientItem&) const = default;
};

// The items of a recipient line, in order; empty items are left out.
std::vector<cRecipientItem> SplitRecipientItems(std::string_view line);

// The UserName values of the users of a group (by prefix or exactly), in the order the query
// yields them. A failure is logged as "In cServer.FindUsersInGroup (): '" + message + "'" and
// gives the names found so far.
std::vector<std::string> FindUsersInGroup(cServer& server, std::string_view group, bool byPrefix);

// Every user name the line reaches, duplicates and order kept.
std::vector<std::string> ExpandRecipients(cServer& server, std::string_view line);

}  // namespace zorvic
