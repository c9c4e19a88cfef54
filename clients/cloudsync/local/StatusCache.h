#pragma once

// StatusCache: the overlay-status cache of the loopback endpoint, local path
// -> status text. Each entry lives until its own expiry (the value is an
// ExpirationDecorator made with the lifetime, 10000 ms), and the cache holds
// at most `capacity` entries: adding one more drops the entry added longest
// ago, whether or not it was read since. So a flood of requests for distinct
// paths costs at most capacity entries of at most the path limit each.
//     capacity 3: add a, b, c; get a; add d -> b, c, d (a was the oldest)
// Each get and each add is atomic on its own (the cache's own mutex); expired
// entries are dropped at the next operation.

#include <Poco/AbstractCache.h>
#include <Poco/ExpirationDecorator.h>
#include <Poco/LRUStrategy.h>
#include <Poco/StrategyCollection.h>
#include <Poco/UniqueExpireStrategy.h>

#include <cstddef>
#include <string>

namespace Nuvaro {
namespace Sync {

// The LRU strategy without its move to the front on a hit: entries leave in
// the order they were added.
template <class TKey, class TValue>
class OldestOutStrategy : public Poco::LRUStrategy<TKey, TValue> {
public:
    explicit OldestOutStrategy(std::size_t capacity) : Poco::LRUStrategy<TKey, TValue>(capacity) {}
    void onGet(const void*, const TKey&) override {}
};

class StatusCache
    : public Poco::AbstractCache<std::string, Poco::ExpirationDecorator<std::string>,
                                 Poco::StrategyCollection<std::string, Poco::ExpirationDecorator<std::string>>> {
public:
    typedef Poco::ExpirationDecorator<std::string> Entry;

    explicit StatusCache(std::size_t capacity)
        : Poco::AbstractCache<std::string, Entry, Poco::StrategyCollection<std::string, Entry>>(
              Poco::StrategyCollection<std::string, Entry>()) {
        _strategy.pushBack(new OldestOutStrategy<std::string, Entry>(capacity));
        _strategy.pushBack(new Poco::UniqueExpireStrategy<std::string, Entry>());
    }
    StatusCache(const StatusCache&) = delete;
    StatusCache& operator=(const StatusCache&) = delete;
};

} // namespace Sync
} // namespace Nuvaro
