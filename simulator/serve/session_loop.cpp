#include "serve/session_loop.h"

#include "model/device.h"
#include "protocol/rapi1.h"
#include "serve/link_speed.h"
#include "serve/session_link.h"
#include "serve/session_state.h"

void ServeFrames(Device &device, LinkSpeed &cable, SessionLink &link, SessionState &state,
                 const std::atomic<bool> &undocking, uint32_t session, const std::string &name,
                 Translator translate) {
    FrameReader reader;
    std::vector<uint8_t> frames;
    for (;;) {
        const uint8_t *body = nullptr;
        uint32_t length = 0;
        FrameReader::Status status = reader.Next(link, &body, &length);
        bool undocked = undocking;
        if (status == FrameReader::kTooLarge) {
            device.Note(name + "frame of " + std::to_string(length) + " bytes, above the limit of " +
                        std::to_string(rapi1::kMaxFrameBytes) + ": session closed");
        } else if (status == FrameReader::kCutShort && link.WentSilent()) {
            device.Note(name + "silent for " + std::to_string(SessionLink::kSilentMidFrameMs / 1000) +
                        " s within a frame (" + std::to_string(reader.Held()) + " bytes of it): session closed");
        } else if (status == FrameReader::kCutShort && !undocked && !state.closing) {
            device.Note(name + "request cut short (" + std::to_string(reader.Held()) +
                        " bytes of a frame, then the client went): session closed");
        }
        if (status != FrameReader::kFrame) return;
        ServeOutcome outcome = translate(device, session, body, length, &frames);
        // The request and its answer cross the cable, as over the pipe.
        cable.Pace(4 + length + frames.size());
        cable.Delay();
        if (outcome == ServeOutcome::kDrop) return;
        if (!link.SendAll(frames.data(), frames.size())) return;
        state.served = true;
    }
}

void ReapServedSessions(std::mutex &lock, std::list<ServedSession> &sessions, bool all) {
    std::list<ServedSession> finished;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (all && !it->state->done) {
                it->state->closing = true;
                shutdown(it->socket, SD_BOTH);
                if (it->state->news) SetEvent(it->state->news);
            }
            if (all || it->state->done) {
                finished.splice(finished.end(), sessions, it++);
            } else {
                ++it;
            }
        }
    }
    for (ServedSession &session : finished) {
        session.thread.join();
        closesocket(session.socket);
        if (session.state->news) CloseHandle(session.state->news);
    }
}
