// What a protocol's translator did with one request.
#pragma once

enum class ServeOutcome {
    kAnswer,  // the answer is ready to send
    kDrop,    // the link is to break now, unanswered
};
