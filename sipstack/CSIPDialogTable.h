// The stack's dialog table. Dialogs are kept in creation order (matching takes the first match
// in that order), and indexed by Call-ID and by connection id so that finding the dialog of a
// message costs the same with ten dialogs as with ten thousand. Removed dialogs are emptied and
// kept (a bounded number) for the next ones, and so are their list and index nodes, so that a
// dialog's life allocates nothing once the table has seen as many at a time.
#pragma once

#include "sipmsg/sip_dialog.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CSIPDialogTable {
public:
    using Predicate = std::function<bool(const sip_dialog&)>;
    static constexpr size_t kMaxSpareDialogs = 128;

    CSIPDialogTable() = default;
    CSIPDialogTable(const CSIPDialogTable&) = delete;
    CSIPDialogTable& operator=(const CSIPDialogTable&) = delete;

    // An empty dialog to fill in and append: a removed one when one is kept.
    std::unique_ptr<sip_dialog> NewDialog();
    size_t SpareCount() const { return m_spare.size(); }
    // Appends a new dialog (already filled in) and returns it.
    sip_dialog* Append(std::unique_ptr<sip_dialog> dialog);
    void Remove(sip_dialog* dialog);
    void Clear();
    size_t Size() const { return m_order.size(); }

    // First dialog, in table order, with this Call-ID for which match() holds.
    sip_dialog* FindByCallId(std::string_view call_id, const Predicate& match) const;
    // First dialog, in table order, with this connection id.
    sip_dialog* FindByConnectionId(uint32_t connection_id) const;
    // Re-indexes a dialog whose Call-ID or connection id was changed in place.
    void Reindex(sip_dialog* dialog, std::string_view old_call_id, uint32_t old_connection_id);

    // Visits every dialog in table order; the visitor may remove the dialog it is given.
    void ForEach(const std::function<void(sip_dialog*)>& visit);

private:
    struct Entry {
        std::unique_ptr<sip_dialog> dialog;
        uint64_t sequence; // creation order, to keep index lists in table order
    };
    using Order = std::list<Entry>;
    using Bucket = std::vector<std::pair<uint64_t, sip_dialog*>>;
    // Call-IDs are looked up by view, without a string made for each message.
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    void IndexAdd(sip_dialog* d, uint64_t seq);
    void IndexRemove(sip_dialog* d, std::string_view call_id, uint32_t connection_id);

    Order m_order;
    std::unordered_map<const sip_dialog*, Order::iterator> m_position;
    std::unordered_map<std::string, Bucket, TextHash, std::equal_to<>> m_by_call_id;
    std::unordered_map<uint32_t, Bucket> m_by_connection;
    std::vector<std::unique_ptr<sip_dialog>> m_spare;
    Order m_spare_entries;
    std::vector<decltype(m_position)::node_type> m_spare_positions;
    std::vector<decltype(m_by_call_id)::node_type> m_spare_call_ids;
    std::vector<decltype(m_by_connection)::node_type> m_spare_connections;
    uint64_t m_next_sequence = 0;
};
