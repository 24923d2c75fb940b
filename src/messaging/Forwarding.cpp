#include "messaging/Forwarding.h"

#include <mutex>

#include "app/Server.h"
#include "app/SharedSql.h"

namespace zorvic {

namespace {

std::string TextOf(const cSqlRows& rows, std::string_view column) {
  const int index = rows.ColumnIndex(column);
  if (index < 0 || rows.Rows.empty()) return {};
  const auto& value = rows.Rows.front()[static_cast<std::size_t>(index)];
  return value ? *value : std::string();
}

bool FlagOf(const cSqlRows& rows, std::string_view column) {
  return TextOf(rows, column) == "True";
}

}  // namespace

bool ForwardingWanted(const cForwardingFlags& flags, int priority,
                      const cRecipientPresence& presence) {
  if (!flags.ForwardMsgs) return false;
  const bool known = priority >= 0 && priority <= 2;
  const bool wanted[] = {flags.ForwardNormal, flags.ForwardHigh, flags.ForwardUrgent};
  const bool onlyDnd[] = {flags.ForwardNormalOnlyDND, flags.ForwardHighOnlyDND,
                          flags.ForwardUrgentOnlyDND};
  if (flags.ForwardingConditionsApply && !(known && wanted[priority])) return false;
  // Offline recipients always get the copy; online ones only when they asked for it.
  if (presence.Listening) {
    if (!known) return false;
    if (onlyDnd[priority] && presence.Status != kDoNotDisturbStatus) return false;
  }
  return true;
}

std::optional<cMailQueueItem> DecideForwarding(cServer& server, const std::string& recipient,
                                               const std::string& senderEmail,
                                               std::int32_t messageId, int priority,
                                               const cRecipientPresence& presence) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  const cSqlRows user = SelectShared(
      server,
      "Select ProfileName, GroupName, PrimaryEmail, SecondaryEmail from Users where UserName = ?",
      {recipient});
  if (user.Empty()) return std::nullopt;
  const std::string primary = TextOf(user, "PrimaryEmail");
  if (primary.empty()) return std::nullopt;

  std::string profileName = TextOf(user, "ProfileName");
  if (profileName.empty()) {
    const cSqlRows group = SelectShared(
        server, "Select ProfileName from Groups where GroupName = ?", {TextOf(user, "GroupName")});
    profileName = TextOf(group, "ProfileName");
  }
  const cSqlRows profile =
      SelectShared(server, "Select * from Profiles where ProfileName = ?", {profileName});
  if (profile.Empty()) return std::nullopt;

  cForwardingFlags flags;
  flags.ForwardMsgs = FlagOf(profile, "ForwardMsgs");
  flags.ForwardingConditionsApply = FlagOf(profile, "ForwardingConditionsApply");
  flags.ForwardNormal = FlagOf(profile, "ForwardNormal");
  flags.ForwardHigh = FlagOf(profile, "ForwardHigh");
  flags.ForwardUrgent = FlagOf(profile, "ForwardUrgent");
  flags.ForwardNormalOnlyDND = FlagOf(profile, "ForwardNormal_OnlyDND");
  flags.ForwardHighOnlyDND = FlagOf(profile, "ForwardHigh_OnlyDND");
  flags.ForwardUrgentOnlyDND = FlagOf(profile, "ForwardUrgent_OnlyDND");
  if (!ForwardingWanted(flags, priority, presence)) return std::nullopt;

  cMailQueueItem item;
  item.UserName = recipient;
  item.SenderEmail = senderEmail;
  item.PrimaryEmail = primary;
  item.SecondaryEmail = TextOf(user, "SecondaryEmail");
  item.MessageID = messageId;
  QueueMailItem(server, item);
  return item;
}

}  // namespace zorvic
