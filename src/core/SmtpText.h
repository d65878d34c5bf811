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
    bool valid = true;  // BDAT: "BDAT size [LAST]" and nothing else
    bool last = false;  // BDAT ... LAST
    int64_t size = 0;   // BDAT only
};
// DATA, or any BDAT command (an MTA may read a malformed one its own way, so none is passed
// on), or nullopt.
std::optional<DataCommand> RecognizeData(std::string_view line);

// A STARTTLS command line, with or without arguments.
bool IsStartTls(std::string_view line);
// A client command line (up to and including its LF) that an MTA could read as something else
// than the proxy does: one with a NUL byte, or with a CR anywhere but just before its LF.
bool IsAmbiguousLine(std::string_view line);

// Message data on its way to the MTA, normalised as it arrives in pieces, so that the proxy and
// any MTA agree on every line and on where the message ends: every line leaves with CR LF (a
// bare LF or a bare CR ends a line too, and is written as CR LF).
// - DATA: the client's bytes are dot-stuffed already. Only CR LF "." CR LF ends the message (the
//   data starts after a CR LF); a "." line with any other line end is data, and is written
//   stuffed ("..") so that no MTA can take it for the end either.
// - BDAT: the bytes are raw and end by their count; every line starting with "." is stuffed,
//   and Finish writes the final "." line, so the message goes on as one DATA transaction.
// A CR or a "." at the end of one piece is held back until the next piece tells what it is.
class DataNormalizer {
public:
    enum class Kind { Data, Bdat };
    void Reset(Kind kind) {
        kind_ = kind;
        state_ = State::LineStart;
        after_crlf_ = true;
    }
    Kind kind() const { return kind_; }
    // Normalises `in` onto `out` (nullptr: only looks for the end). DATA: when the final line is
    // in `in`, the count of bytes up to and including it (the rest is not read); else npos.
    size_t Feed(std::string_view in, std::string* out);
    // BDAT: the last chunk is complete: what was held back, a line end when the last line has
    // none, and the final "." line.
    void Finish(std::string* out);

private:
    enum class State { LineStart, InLine, Cr, Dot, DotCr };
    void LineEnd(std::string* out, bool crlf);
    Kind kind_ = Kind::Data;
    State state_ = State::LineStart;
    bool after_crlf_ = true;  // the current line started after a CR LF (or at the start)
};

// `line` without any CR or LF: a client's line as the log shows it.
std::string WithoutLineBreaks(std::string_view line);

// Message data as DATA carries it (CR LF lines, leading dots doubled, maybe ending with the
// final "." line) back to the message: each line's leading dot undone, the final line dropped.
std::string UnstuffedMessage(std::string_view data);

// A reply line with no "-" after its code: the reply's last.
bool IsFinalLine(std::string_view line);
// The end of the last complete reply in `text` (after a final line: one with no "-" after its
// code), or 0 when no reply is complete yet.
size_t CompleteReplies(std::string_view text);
// Complete replies with the extensions a relay that reads SMTP cannot carry removed from every
// multi-line "250" reply (an EHLO reply): STARTTLS (a TLS stream cannot be relayed as lines),
// CHUNKING and BINARYMIME (a client's BDAT goes on as DATA). When the last line is removed, the
// line before it becomes the last ("250 "). The names removed are appended to `removed`.
std::string RemoveExtensions(std::string replies, std::string* removed);

// The first reply in `replies`, when it is a "250" reply (an EHLO reply), with "250-`name`"
// as its second line; a one-line reply becomes two lines, the added one last.
std::string AddExtension(std::string replies, std::string_view name);

// The MTA reply with `insert` placed after its first line end and every "entry\n" of `drop`
// (upper-cased, "\n"-separated, up to the first empty entry) removed, but only in a multi-line
// "250-" reply; `insert` and `drop` are emptied when used.
std::string EditReply(std::string reply, std::string* insert, std::string* drop);
// A reply line with a code from 500 to 509.
bool IsCountedError(std::string_view line);
// A "235" (authenticated) reply line.
bool IsAuthenticated(std::string_view line);

// The held message with `tag` put before its subject. Only the header is searched: up to its
// blank line, or all the held bytes when the blank line is not among them. Without a Subject
// line, one with the tag is added at the top, but only when `whole_header` (the blank line was
// found, or the held bytes are the whole message): a Subject line may be in the part not held.
std::string ModifyHeaderSubject(std::string message, std::string_view tag, bool whole_header = true);
// The held message with `line` added as the last header line; when the header's end is not in
// the held bytes, as the first header line (never with a blank line that would push the rest of
// the header into the body).
std::string WriteHeaderMessage(std::string message, std::string_view line);
// The held message with an "Authentication-Results: `value`" field at the top of its header and
// every incoming one that claims `authserv_id` removed (RFC 8601 5: only we may speak for it).
std::string WithAuthenticationResults(std::string message, std::string_view authserv_id, std::string_view value);
// The authserv-id of an Authentication-Results value: its first token, comments skipped.
std::string_view AuthservId(std::string_view value);

}  // namespace core::smtp
