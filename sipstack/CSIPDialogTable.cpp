#include "sipstack/CSIPDialogTable.h"

#include <algorithm>

namespace {

constexpr size_t kMaxSpare = CSIPDialogTable::kMaxSpareDialogs;

template <typename Bucket> void insert_in_order(Bucket& bucket, uint64_t seq, sip_dialog* d) {
    auto it = std::upper_bound(bucket.begin(), bucket.end(), seq,
                               [](uint64_t s, const auto& item) { return s < item.first; });
    bucket.insert(it, {seq, d});
}

template <typename Node> void keep_node(std::vector<Node>& spare, Node node) {
    if (spare.size() < kMaxSpare) spare.push_back(std::move(node));
}

// A kept node brings its key's text and its bucket's storage along.
template <typename Map, typename Key>
typename Map::iterator bucket_for(Map& map, std::vector<typename Map::node_type>& spare, const Key& key) {
    auto it = map.find(key);
    if (it != map.end()) return it;
    if (spare.empty()) return map.emplace(typename Map::key_type(key), typename Map::mapped_type{}).first;
    typename Map::node_type node = std::move(spare.back());
    spare.pop_back();
    node.key() = key;
    node.mapped().clear();
    return map.insert(std::move(node)).position;
}

template <typename Map, typename Key>
void erase_from(Map& map, std::vector<typename Map::node_type>& spare, const Key& key, const sip_dialog* d) {
    auto it = map.find(key);
    if (it == map.end()) return;
    auto& bucket = it->second;
    bucket.erase(
        std::remove_if(bucket.begin(), bucket.end(), [d](const auto& item) { return item.second == d; }),
        bucket.end());
    if (bucket.empty()) keep_node(spare, map.extract(it));
}

} // namespace

sip_dialog* CSIPDialogTable::Append(std::unique_ptr<sip_dialog> dialog) {
    sip_dialog* d = dialog.get();
    uint64_t seq = m_next_sequence++;
    if (m_spare_entries.empty())
        m_order.push_back(Entry{std::move(dialog), seq});
    else
        m_order.splice(m_order.end(), m_spare_entries, m_spare_entries.begin());
    const Order::iterator entry = std::prev(m_order.end());
    if (!entry->dialog) *entry = Entry{std::move(dialog), seq};
    if (m_spare_positions.empty()) {
        m_position.emplace(d, entry);
    } else {
        auto node = std::move(m_spare_positions.back());
        m_spare_positions.pop_back();
        node.key() = d;
        node.mapped() = entry;
        m_position.insert(std::move(node));
    }
    IndexAdd(d, seq);
    return d;
}

std::unique_ptr<sip_dialog> CSIPDialogTable::NewDialog() {
    if (m_spare.empty()) return std::make_unique<sip_dialog>();
    std::unique_ptr<sip_dialog> d = std::move(m_spare.back());
    m_spare.pop_back();
    return d;
}

void CSIPDialogTable::IndexAdd(sip_dialog* d, uint64_t seq) {
    insert_in_order(bucket_for(m_by_call_id, m_spare_call_ids, d->call_id.View())->second, seq, d);
    insert_in_order(bucket_for(m_by_connection, m_spare_connections, d->connection_id)->second, seq, d);
}

void CSIPDialogTable::IndexRemove(sip_dialog* d, std::string_view call_id, uint32_t connection_id) {
    erase_from(m_by_call_id, m_spare_call_ids, call_id, d);
    erase_from(m_by_connection, m_spare_connections, connection_id, d);
}

void CSIPDialogTable::Remove(sip_dialog* d) {
    auto pos = m_position.find(d);
    if (pos == m_position.end()) return;
    IndexRemove(d, d->call_id.View(), d->connection_id);
    const Order::iterator entry = pos->second;
    std::unique_ptr<sip_dialog> removed = std::move(entry->dialog);
    if (m_spare_entries.size() < kMaxSpare)
        m_spare_entries.splice(m_spare_entries.end(), m_order, entry);
    else
        m_order.erase(entry);
    keep_node(m_spare_positions, m_position.extract(pos));
    if (m_spare.size() >= kMaxSpare) return;
    removed->reset_all();
    m_spare.push_back(std::move(removed));
}

void CSIPDialogTable::Clear() {
    m_by_call_id.clear();
    m_by_connection.clear();
    m_position.clear();
    m_order.clear();
}

sip_dialog* CSIPDialogTable::FindByCallId(std::string_view call_id, const Predicate& match) const {
    auto it = m_by_call_id.find(call_id);
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
