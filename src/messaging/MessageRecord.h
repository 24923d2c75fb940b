// One message of a mailbox as it travels to a client: the record transfer of fetches (2004)
// and pushes to listening connections.
//
// The transfer is three counted blocks, each an int32 big-endian length and its bytes:
//   A: the attachment list text, never scrambled;
//   H: the header "From: x\r\nTo: y\r\nDate: d\r\nSize: n\r\nPriority: p" (no final line
//      break), scrambled when DataScrambling is on;
//   B: the body, scrambled likewise.
// The date is the message's time as days since 30 December 1899 (the fraction is the time of
// day) in general format: up to 15 significant digits, no trailing zeros, the regional decimal
// separator (noon of 8 March 2006 is "38784.5" with a point).
//
// Thread safety: plain values and functions of their arguments; MessageRecordBytes with a
// server takes its ScramblingLock around the flag test and the cipher (an innermost lock).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvic::engine {
class TVELDORDataSet;
}

namespace zorvic {

class cServer;

struct cMessageRecord {
  std::string Attachments, From, To;
  double MessageDate = 0;  // days since 30 December 1899, the fraction the time of day
  std::int32_t Size = 0, Priority = 0;
  std::string Body;
};

// The engine's time stamp (milliseconds, day 1 = 0001-01-01) as days since 30 December 1899,
// and back.
double MessageDateFromTimeStamp(double timeStamp);
double TimeStampFromMessageDate(double messageDate);

// A number in general format with up to 15 significant digits and `decimalSeparator`:
// "38784.5", "0.00001", "1E20", "1.5E-6", "-2".
std::string FormatGeneralFloat(double value, char decimalSeparator = '.');

// The decimal separator of the server's regional settings (the environment's numeric locale;
// a point when it names none).
char RegionalDecimalSeparator();

// Fills `record` from the current record of a dataset on a Messages table (the table itself or
// a query over it). A NULL date reads as 0, NULL texts as empty. Raises the component errors of
// reading (a missing column, a BLOB that cannot be read).
void ReadMessageRecord(engine::TVELDORDataSet& messages, cMessageRecord& record);

// The header text of the record, in clear.
std::string MessageHeaderText(const cMessageRecord& record);

// The exact bytes of the record transfer; `scramble` scrambles header and body with the
// program key. Raises std::length_error for a block beyond the int32 frame.
std::string MessageRecordBytes(const cMessageRecord& record, bool scramble);
// As above, scrambled as the server's DataScrambling option says (under its ScramblingLock).
std::string MessageRecordBytes(cServer& server, const cMessageRecord& record);

}  // namespace zorvic
