#include "messaging/Recipients.h"

#include <exception>

#include "app/ErrorText.h"
#include "app/Server.h"
#include "app/SharedSql.h"

namespace zorvic {

namespace {

// The item less its suffix and the character before it ("Sales/*" gives "Sales").
std::string GroupText(std::string_view item) {
  return item.size() <= 2 ? std::string() : std::string(item.substr(0, item.size() - 2));
}

}  // namespace

std::vector<cRecipientItem> SplitRecipientItems(std::string_view line) {
  std::vector<cRecipientItem> items;
  while (!line.empty()) {
    const std::size_t comma = line.find(',');
    const std::string_view item = line.substr(0, comma);
    line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
    if (item.empty()) continue;
    if (item.back() == '*') {
      items.push_back({TRecipientKind::GroupPrefix, GroupText(item)});
    } else if (item.back() == '?') {
      items.push_back({TRecipientKind::GroupExact, GroupText(item)});
    } else {
      items.push_back({TRecipientKind::User, std::string(item)});
    }
  }
  return items;
}

std::vector<std::string> FindUsersInGroup(cServer& server, std::string_view group, bool byPrefix) {
  std::vector<std::string> names;
  try {
    const cSqlRows rows =
        byPrefix ? SelectShared(server, "Select UserName from Users where GroupName like ?",
                                {std::string(group) + "%"})
                 : SelectShared(server, "Select UserName from Users where GroupName = ?",
                                {std::string(group)});
    names.reserve(rows.Rows.size());
    for (const auto& row : rows.Rows) {
      if (!row.empty() && row[0]) names.push_back(*row[0]);
    }
  } catch (...) {
    server.WriteLog("In cServer.FindUsersInGroup (): " +
                    QuoteSqlString(ErrorMessage(std::current_exception())));
  }
  return names;
}

std::vector<std::string> ExpandRecipients(cServer& server, std::string_view line) {
  std::vector<std::string> names;
  for (cRecipientItem& item : SplitRecipientItems(line)) {
    if (item.Kind == TRecipientKind::User) {
      names.push_back(std::move(item.Text));
      continue;
    }
    std::vector<std::string> members =
        FindUsersInGroup(server, item.Text, item.Kind == TRecipientKind::GroupPrefix);
    names.insert(names.end(), std::make_move_iterator(members.begin()),
                 std::make_move_iterator(members.end()));
  }
  return names;
}

}  // namespace zorvic
