#pragma once

// Reading rows into the store's types, and the helpers every store*.cpp
// shares (for store*.cpp only).

#include "service/store.h"
#include "service/storesql.h"

#include <optional>
#include <string>
#include <vector>

namespace service {

User readUser(const Query& q);
Fix readFix(const Query& q);
Camera readCamera(const Query& q);
Synchronization readSynchronization(const Query& q);

extern const char* const userColumns;           // as readUser reads them
extern const char* const synchronizationColumns; // as readSynchronization reads them

// Every row left of a bound query, as `read` reads it; nothing when the query fails.
template <typename Read>
auto allRows(Query& q, Read read) -> std::optional<std::vector<decltype(read(std::declval<const Query&>()))>>
{
    std::vector<decltype(read(std::declval<const Query&>()))> list;
    while (q.next())
        list.push_back(read(q));
    if (!q.ok())
        return std::nullopt;
    return list;
}

// The first row of a query, its parameters bound in order, as `read` reads it.
template <typename Read, typename... Values>
auto firstRow(Store& store, const char* sql, Read read, const Values&... values)
    -> std::optional<decltype(read(std::declval<const Query&>()))>
{
    using Row = decltype(read(std::declval<const Query&>()));
    return retrying(store, Lease::read, [&](Connection& connection) -> std::optional<Row> {
        Query q(connection, sql);
        int index = 0;
        (q.bind(++index, values), ...);
        if (q.next())
            return read(q);
        return std::nullopt;
    });
}

// A new key for a row; nothing, with the reason in the log, without a random source.
std::optional<std::string> newKey(int bytes);

// The key under which transactions that must not overlap take turns: the
// same for the same `kind` and `value` in every process.
int64_t lockKey(const std::string& kind, const std::string& value);

} // namespace service
