#include "sipstack/CSIPDialogTable.h"

#include <algorithm>

namespace {

template <typename Bucket> void insert_in_order(Bucket& bucket, uint64_t seq, sip_dialog* d) {
    auto it = std::upper_bound(bucket.begin(), bucket.end(), seq,
                               [](uint64_t s, const auto& item) { return s < item.first; });
    bucket.insert(it, {seq, d});
}

template <typename Map, typename Key> void erase_from(Map& map, const Key& key, const sip_dialog* d) {
    auto it = map.find(key);
    if (it == map.end()) return;
    auto& bucket = it->second;
    bucket.erase(
        std::remove_if(bucket.begin(), bucket.end(), [d](const auto& item) { return item.second == d; }),
        bucket.end());
    if (bucket.empty()) map.erase(it);
}

} // namespace

sip_dialog* CSIPDialogTable::Append(std::unique_ptr<sip_dialog> dialog) {
    sip_dialog* d = dialog.get();
    uint64_t seq = m_next_sequence++;
    m_order.push_back(Entry{std::move(dialog), seq});
    m_position[d] = std::prev(m_order.end());
    IndexAdd(d, seq);
    return d;
}

void CSIPDialogTable::IndexAdd(sip_dialog* d, uint64_t seq) {
    insert_in_order(m_by_call_id[std::string(d->call_id.View())], seq, d);
    insert_in_order(m_by_connection[d->connection_id], seq, d);
}

void CSIPDialogTable::IndexRemove(sip_dialog* d, std::string_view call_id, uint32_t connection_id) {
    erase_from(m_by_call_id, std::string(call_id), d);
    erase_from(m_by_connection, connection_id, d);
}

void CSIPDialogTable::Remove(sip_dialog* d) {
    auto pos = m_position.find(d);
    if (pos == m_position.end()) return;
    IndexRemove(d, d->call_id.View(), d->connection_id);
    m_order.erase(pos->second);
    m_position.erase(pos);
}

void CSIPDialogTable::Clear() {
    m_by_call_id.clear();
    m_by_connection.clear();
    m_position.clear();
    m_order.clear();
}

sip_dialog* CSIPDialogTable::FindByCallId(std::string_view call_id, const Predicate& match) const {
    auto it = m_by_call_id.find(std::string(call_id));
    if (it == m_by_call_id.end()) return nullptr;
    for (const auto& item : it->second)
        if (match(*item.second)) return item.second;
    return nullptr;
}

sip_dialog* CSIPDialogTable::FindByConnectionId(uint32_t connection_id) const {
    auto it = m_by_connection.find(connection_id);
    return it == m_by_connection.end() || it->second.empty() ? nullptr : it->second.front().second;
}

void CSIPDialogTable::Reindex(sip_dialog* d, std::string_view old_call_id, uint32_t old_connection_id) {
    auto pos = m_position.find(d);
    if (pos == m_position.end()) return;
    IndexRemove(d, old_call_id, old_connection_id);
    IndexAdd(d, pos->second->sequence);
}

void CSIPDialogTable::ForEach(const std::function<void(sip_dialog*)>& visit) {
    for (auto it = m_order.begin(); it != m_order.end();) {
        auto next = std::next(it);
        visit(it->dialog.get());
        it = next;
    }
}
