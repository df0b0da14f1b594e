// Control-socket command lines run as an authenticated client and checked row by row against what
// they reply and what reaches the service behind them.
#pragma once

#include "app/KZControlCommands.h"

#include <gtest/gtest.h>

#include <span>
#include <sstream>
#include <string>

namespace kztest {

inline kzapp::KZJson run_command(const kzapp::KZControlCommands& commands, const std::string& line) {
    kzapp::KZClientSession session{.authenticated = true};
    return commands.Execute(line, session);
}

// "ok", or the reason of the error.
inline std::string outcome_of(const kzapp::KZJson& reply) {
    return reply.value("event", "") == "ok" ? "ok" : reply.value("reason", "");
}

// The parts joined by single spaces: how the recording services write down what reached them.
template <class... Parts> std::string said(const Parts&... parts) {
    std::ostringstream out;
    ((out << parts << ' '), ...);
    std::string text = out.str();
    text.pop_back();
    return text;
}

struct CommandRow {
    std::string line;
    std::string outcome;    // "ok", or contained in the error's reason ("": any error)
    std::string reaches{};  // what the service is asked; a refused line reaches nothing
    std::string in_reply{}; // JSON members an accepted line's reply carries
};

// `reached` returns what the service was asked since it was last called, and forgets it. The lines
// come from `client` when given, else each from a new authenticated client.
template <class Reached>
void expect_rows(const kzapp::KZControlCommands& commands, std::span<const CommandRow> rows,
                 Reached&& reached, kzapp::KZClientSession* client = nullptr) {
    for (const CommandRow& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 100));
        kzapp::KZClientSession fresh{.authenticated = true};
        const kzapp::KZJson reply = commands.Execute(row.line, client ? *client : fresh);
        const std::string outcome = outcome_of(reply);
        if (row.outcome == "ok") {
            EXPECT_EQ(outcome, "ok") << reply.dump();
        } else {
            EXPECT_EQ(reply.value("event", ""), "error") << reply.dump();
            EXPECT_NE(outcome.find(row.outcome), std::string::npos) << reply.dump();
        }
        EXPECT_EQ(reached(), row.outcome == "ok" ? row.reaches : "");
        const kzapp::KZJson expected =
            row.in_reply.empty() ? kzapp::KZJson::object() : kzapp::KZJson::parse(row.in_reply);
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(reply.value(key, kzapp::KZJson()), value) << key;
    }
}

} // namespace kztest
