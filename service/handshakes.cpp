#include "service/handshakes.h"

#include "service/hosts.h"

#include <openssl/err.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace service {

Handshakes::Handshakes(SSL_CTX* tls, const ServerLimits& limits) : tls_(tls), limits_(limits)
{
}

Handshakes::~Handshakes()
{
    clear();
}

void Handshakes::add(int socket, const std::string& address, const Done& done)
{
    SSL* ssl = SSL_new(tls_);
    const int flags = ::fcntl(socket, F_GETFL);
    if (!ssl || flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0 || SSL_set_fd(ssl, socket) != 1) {
        SSL_free(ssl);
        ::close(socket);
        return;
    }
    // Room for the new one: the oldest of its address (unless that is a
    // reverse proxy's), or the oldest of all, makes way.
    if (perAddress_[address] >= std::max(1, limits_.handshakesPerAddress) && !listedAddress(limits_.proxies, address))
        close(std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.address == address; }));
    if (static_cast<int>(pending_.size()) >= std::max(1, limits_.handshakes))
        close(pending_.begin());
    ++perAddress_[address];
    pending_.push_back({ socket, ssl, address, Clock::now() + std::chrono::milliseconds(limits_.handshakeMs) });
    // The client may have sent its hello with the connection.
    auto entry = std::prev(pending_.end());
    step(entry, done);
}

void Handshakes::watch(std::vector<pollfd>& entries) const
{
    for (const Pending& p : pending_)
        entries.push_back({ p.socket, p.events, 0 });
}

int Handshakes::msUntilDeadline(int limit) const
{
    if (pending_.empty())
        return limit;
    // The first accepted has the first deadline.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pending_.front().deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, limit));
}

void Handshakes::advance(const std::vector<pollfd>& entries, size_t first, const Done& done)
{
    const auto now = Clock::now();
    size_t index = first;
    for (auto entry = pending_.begin(); entry != pending_.end(); ++index) {
        const bool ready = index < entries.size() && entries[index].fd == entry->socket && entries[index].revents != 0;
        if (ready && !step(entry, done))
            continue;
        if (entry->deadline <= now)
            entry = close(entry);
        else
            ++entry;
    }
}

void Handshakes::clear()
{
    while (!pending_.empty())
        close(pending_.begin());
}

bool Handshakes::step(Iterator& entry, const Done& done)
{
    ERR_clear_error();
    const int result = SSL_accept(entry->ssl);
    if (result == 1) {
        const Pending finished = *entry;
        entry = forget(entry);
        done(finished.socket, finished.ssl, finished.address);
        return false;
    }
    const int error = SSL_get_error(entry->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        entry->events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return true;
    }
    entry = close(entry);
    return false;
}

Handshakes::Iterator Handshakes::close(Iterator entry)
{
    if (entry == pending_.end())
        return entry;
    SSL_free(entry->ssl);
    ::close(entry->socket);
    return forget(entry);
}

Handshakes::Iterator Handshakes::forget(Iterator entry)
{
    if (--perAddress_[entry->address] == 0)
        perAddress_.erase(entry->address);
    return pending_.erase(entry);
}

} // namespace service
