// CKZSIPBoard: the host's SIP board, the top of a server's board -> span -> channel tree.
#pragma once

#include "host/CPtArray.h"

namespace KZAPI {

class CKZSIPBoard {
public:
    virtual ~CKZSIPBoard() = default;
    // The board's spans; the board does not own them (they come from and go back to the factory).
    CPtArray& GetSpans() { return m_spans; }
    int GetNumOfSpans() const { return static_cast<int>(m_spans.GetSize()); }

private:
    CPtArray m_spans;
};

} // namespace KZAPI
