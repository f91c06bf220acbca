#include "lookup/name_suggestion.hpp"

#include <algorithm>
#include <vector>

#include "support/name_order.hpp"

namespace veldra {
namespace {

constexpr std::size_t kMaxDistance = 2;

std::string_view trim_spaces(std::string_view s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// Levenshtein distance over bytes, giving up (returning limit + 1) once it
// must exceed `limit`. A cell further than `limit` from the diagonal cannot
// be within it, so only a band of each row is computed: a long near miss
// costs time linear in its length.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    const std::size_t beyond = limit + 1;
    std::vector<std::size_t> row(b.size() + 1, beyond);
    for (std::size_t j = 0; j <= std::min(b.size(), limit); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        const std::size_t first = i > limit ? i - limit : 1;
        const std::size_t last = std::min(b.size(), i + limit);
        std::size_t diagonal = row[first - 1];
        row[first - 1] = first == 1 ? std::min(i, beyond) : beyond;
        std::size_t best = row[first - 1];
        for (std::size_t j = first; j <= last; ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1), beyond});
            diagonal = above;
            best = std::min(best, row[j]);
        }
        if (best > limit) return beyond;
    }
    return row[b.size()];
}

}  // namespace

std::optional<std::string> suggest_name(std::string_view name, std::size_t count,
                                        FunctionRef<std::string_view(std::size_t)> candidate_at) {
    const std::string_view trimmed = trim_spaces(name);
    std::optional<std::string_view> best;
    std::size_t best_distance = kMaxDistance + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view candidate = candidate_at(i);
        if (candidate == name) continue;
        std::size_t distance = equal_ignoring_case(trimmed, candidate) ? 0 : edit_distance(name, candidate, kMaxDistance);
        if (distance > kMaxDistance || distance >= candidate.size()) continue;
        if (distance < best_distance || (distance == best_distance && byte_less(candidate, *best))) {
            best = candidate;
            best_distance = distance;
        }
    }
    if (!best) return std::nullopt;
    return std::string(*best);
}

std::optional<std::string> suggest_name(std::string_view name, std::span<const std::string_view> candidates) {
    return suggest_name(name, candidates.size(), [&](std::size_t i) { return candidates[i]; });
}

std::string suggestion_note(std::string_view suggestion) {
    return "did you mean '" + std::string(suggestion) + "'?";
}

}  // namespace veldra
