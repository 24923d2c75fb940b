// cClientInfoStruct: the record of one protocol session.
//
// Created empty when a connection starts (all strings empty, numbers 0, flags false) and
// discarded when it ends. Login (1000 to 1003, 1001) fills it, 2013 turns it into a listening
// connection; handlers read it and never change it otherwise.
//
// Thread safety: owned by its session thread; handlers that hand data to other threads copy it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zorvic {

struct cNotificationThreadStruct;
struct cUserQueryStruct;

struct cClientInfoStruct {
  std::string UserName;             // 1000: the account's name; cleared when 1000 finds no account
  std::string Password;             // 1000: the account's stored password, clear text
  std::string GroupName;            // 1000
  std::string PrimaryEmail;         // 1000
  std::string Question1;            // 1000: security question 1
  std::string Question2;            // 1000: security question 2
  std::string Answer1;              // 1000: stored answer 1
  std::string Answer2;              // 1000: stored answer 2
  std::string GivenAnswer1;         // 1002: the client's answer to question 1
  std::string GivenAnswer2;         // 1003: the client's answer to question 2
  std::int32_t Privileges = 0;      // 1000: the profile's privileges; 0 without a profile
  bool Authenticated = false;       // 1001: the session is in the command stage
  bool HasAdminPower = false;       // 1000
  bool AccountDisabled = false;     // 1000
  bool IsListening = false;         // 2013: the session is a listening connection
  bool AllowAttachments = false;    // 1000: true unless the profile forbids attachments
  bool LimitMessageSize = false;    // 1000: option of the same name, for accounts with a profile
  bool RestrictAttachSize = false;  // 1000: from the profile
  std::int32_t MaxMsgSize = 0;      // 1000: largest message body in bytes
  std::int32_t MaxAttachSize = 0;   // 1000: largest attachment in bytes

  // Session bookkeeping beside the account's fields:
  // the mailbox reference the login took; the end of the session gives back this one only;
  cUserQueryStruct* Mailbox = nullptr;
  // 2013: this session's own listener record (the end of the session removes this one, not
  // the first record of the same name).
  std::shared_ptr<cNotificationThreadStruct> Listener;
};

}  // namespace zorvic
