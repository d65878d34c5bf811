#pragma once
// The SMTP texts a relay session reads and rewrites: recognising client commands, the DATA/BDAT
// commands, the end of message data, editing the MTA's EHLO reply, and rewriting the held
// message's header (subject tag, added header line). Pure functions on text; any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace core::smtp {

enum class CommandKind { None, Helo, MailFrom, RcptTo, RcptToError, Noop, Rset };

struct Command {
    CommandKind kind = CommandKind::None;
    std::string arg;   // HELO host, MAIL FROM address (empty for the null sender), recipient, or the line
    std::string word;  // "helo"/"ehlo" as the client wrote it
};

// Recognises one client command line (with or without its line end), case-insensitively; the
// first rule that applies wins. `relay`: the client may use source routes.
Command RecognizeCommand(std::string_view line, bool relay);

struct DataCommand {
    bool bdat = false;
    int64_t size = 0;  // BDAT only
};
// DATA or BDAT <size>, or nullopt.
std::optional<DataCommand> RecognizeData(std::string_view line);

// Finds the final "." line of message data that arrives in pieces: the state is kept from one
// piece to the next, so a final line split between two reads still ends the message, and a
// stuffed ".." line cut after its first dot does not. A "." line ends with LF, CR LF or more
// CRs before the LF.
class DataEndScanner {
public:
    // The length of `data` up to and including the final line, or npos when it is not in it.
    size_t Scan(std::string_view data);
    // A new message starts (at the start of a line).
    void Reset() { state_ = State::LineStart; }

private:
    enum class State { LineStart, InLine, Dot, DotCr };
    State state_ = State::LineStart;
};

// The MTA reply with `insert` placed after its first line end and every "entry\n" of `drop`
// (upper-cased, "\n"-separated, up to the first empty entry) removed, but only in a multi-line
// "250-" reply; `insert` and `drop` are emptied when used.
std::string EditReply(std::string reply, std::string* insert, std::string* drop);
// A reply line with a code from 500 to 509.
bool IsCountedError(std::string_view line);
// A "235" (authenticated) reply line.
bool IsAuthenticated(std::string_view line);

// The held message with `tag` put before its subject (or a Subject line with the tag added
// when there is none).
std::string ModifyHeaderSubject(std::string message, std::string_view tag);
// The held message with `line` added as the last header line.
std::string WriteHeaderMessage(std::string message, std::string_view line);

}  // namespace core::smtp
