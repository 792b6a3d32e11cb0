#include "Directives.h"

#include <charconv>

namespace testdriver {
namespace {

template <typename T>
std::optional<T> ParseNumber(std::string_view text)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

void ApplyToken(Directives& d, std::string_view token)
{
    const size_t eq = token.find('=');
    const std::string_view key = token.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : token.substr(eq + 1);
    const bool hasValue = eq != std::string_view::npos;

    if (key == "result" && hasValue) {
        if (auto v = ParseNumber<long long>(value))
            d.result = *v;
    } else if (key == "null") {
        d.null = true;
    } else if (key == "block" && hasValue) {
        if (auto v = ParseNumber<long long>(value); v && *v >= 0)
            d.block = *v;
    } else if (key == "count" && hasValue) {
        if (auto v = ParseNumber<int>(value); v && *v >= 0)
            d.count = *v;
    } else if (key == "len" && hasValue) {
        if (auto v = ParseNumber<int>(value); v && *v >= 0)
            d.len = *v;
    } else if (key == "fill") {
        d.fill = true;
    } else if (key == "delay" && hasValue) {
        if (auto v = ParseNumber<int>(value); v && *v >= 0)
            d.delayMs = *v;
    } else if (key == "hang") {
        d.hang = true;
    } else if (key == "crash") {
        d.crash = hasValue ? std::string(value) : "segv";
    } else if (key == "throw") {
        d.throwKind = hasValue ? std::string(value) : "std";
    } else if (key == "exit" && hasValue) {
        if (auto v = ParseNumber<int>(value))
            d.exitCode = *v;
    } else if (key == "print") {
        d.print = true;
    }
    // Anything else is part of an ordinary id ("cam#1") and is ignored.
}

} // namespace

void Directives::Apply(std::string_view tokens, std::string_view separators)
{
    size_t pos = 0;
    while (pos <= tokens.size()) {
        const size_t end = tokens.find_first_of(separators, pos);
        const std::string_view token =
            tokens.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (!token.empty())
            ApplyToken(*this, token);
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
}

DirectiveEntry ParseEntry(std::string_view text)
{
    DirectiveEntry entry;
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    if (!text.empty() && text.front() == '@') {
        const size_t end = text.find(' ');
        entry.onlyFor = std::string(text.substr(1, end == std::string_view::npos ? end : end - 1));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    entry.tokens = std::string(text);
    return entry;
}

} // namespace testdriver
