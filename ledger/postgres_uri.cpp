// The URI of a server's ledger as messages name it: without its password,
// which no message shows, and without anything that may be one.
#include "postgres.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace postgres {

namespace {

// A URI's %XX escapes decoded, as the library decodes them.
std::string Percent_decoded(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            out.push_back(static_cast<char>(value));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Whether the client library parses the URI at all.
bool Parses(const char *uri)
{
    char *error = nullptr;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options{PQconninfoParse(uri, &error),
                                                                         PQconninfoFree};
    PQfreemem(error);
    return options != nullptr;
}

// The parameters after '?' in rest (from its start), with the value of
// each password= parameter ELIDED and kept in hidden.
std::string Parameters_elided(std::string_view rest, std::vector<std::string> &hidden)
{
    std::size_t query = rest.find('?');
    std::string out{rest.substr(0, query == std::string_view::npos ? rest.size() : query + 1)};
    if (query == std::string_view::npos)
        return out;
    rest.remove_prefix(query + 1);
    for (;;) {
        std::size_t end = rest.find('&');
        std::string_view pair = rest.substr(0, end);
        std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && Percent_decoded(pair.substr(0, equals)) == "password") {
            hidden.emplace_back(pair.substr(equals + 1));
            out.append(pair.substr(0, equals + 1)).append(ELIDED);
        } else {
            out.append(pair);
        }
        if (end == std::string_view::npos)
            return out;
        out.push_back('&');
        rest.remove_prefix(end + 1);
    }
}

// The part between "://" and the last '@' in hidden, and each of its pieces
// between the characters at which the library may have cut it.
void Hide_part(std::string_view part, std::vector<std::string> &hidden)
{
    hidden.emplace_back(part);
    for (std::size_t from = 0; from <= part.size();) {
        std::size_t cut = std::min(part.find_first_of(":/@?&=", from), part.size());
        if (cut > from && cut - from < part.size())
            hidden.emplace_back(part.substr(from, cut - from));
        from = cut + 1;
    }
}

} // namespace

// The library finds the parts as this does: the user part ends at the first
// '@' before any '/', its password after its first ':'; the host part then
// runs to the parameters' '?'.
std::string Uri_named(const char *uri, std::vector<std::string> &hidden, bool &password)
{
    std::string_view text = uri;
    std::size_t scheme = text.find("://") + 3;
    std::size_t user = text.find_first_of("@/", scheme);
    bool hasUser = user != std::string_view::npos && text[user] == '@';
    std::size_t host = hasUser ? user + 1 : scheme;
    std::size_t last = text.rfind('@');
    bool stray = last != std::string_view::npos && last >= host && last < text.find('?', host);
    std::size_t colon = text.find(':', scheme);
    std::string out{text.substr(0, scheme)};
    if ((stray || !Parses(uri)) && last != std::string_view::npos && last > scheme) {
        std::string_view part = text.substr(scheme, last - scheme);
        Hide_part(part, hidden);
        password = part.find(':') != std::string_view::npos;
        out.append(ELIDED);
        text.remove_prefix(last);
    } else if (hasUser && colon < user) {
        hidden.emplace_back(text.substr(colon + 1, user - colon - 1));
        password = true;
        out.append(text.substr(scheme, colon + 1 - scheme)).append(ELIDED);
        text.remove_prefix(user);
    } else {
        text.remove_prefix(scheme);
    }
    std::size_t beforeParameters = hidden.size();
    out.append(Parameters_elided(text, hidden));
    password = password || hidden.size() > beforeParameters;
    return out;
}

void Uri_hide(std::string &text, const std::vector<std::string> &hidden)
{
    // The longest first, so that no piece of a longer one is left.
    std::vector<std::string> all;
    for (const std::string &what : hidden)
        for (const std::string &form : {what, Percent_decoded(what)})
            if (!form.empty())
                all.push_back(form);
    std::sort(all.begin(), all.end(), [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    // A piece stands alone where the library repeats it, cut where it cut
    // the URI; a short one (a user "st") is not taken out of a longer word
    // ("host", "string"), which would leave the message unreadable.
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (const std::string &what : all)
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos;) {
            std::size_t end = at + what.size();
            if ((word(what.front()) && at > 0 && word(text[at - 1])) ||
                (word(what.back()) && end < text.size() && word(text[end]))) {
                ++at;
                continue;
            }
            text.replace(at, what.size(), ELIDED);
            at += std::strlen(ELIDED);
        }
}

} // namespace postgres
