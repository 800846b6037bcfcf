#include "covers/cover_chain.hpp"

#include <algorithm>
#include <thread>

namespace {

std::size_t Index(CoverSourceKind kind) {
    return static_cast<std::size_t>(kind);
}

}  // namespace

std::vector<CoverSourceKind> CoverSourceOrder(const CoverSourcesConfig& config) {
    if (!config.orderGiven) {
        return {CoverSourceKind::ImageSearch, CoverSourceKind::Itunes, CoverSourceKind::Deezer,
                CoverSourceKind::MusicBrainz};
    }
    std::vector<CoverSourceKind> order;
    for (const std::string& name : config.names) {
        CoverSourceKind kind{};
        if (!CoverSourceFromName(name, kind)) continue;
        if (std::find(order.begin(), order.end(), kind) == order.end()) order.push_back(kind);
    }
    return order;
}

void CoverChain::Configure(const CoverSourcesConfig& config) {
    std::shared_ptr<CoverSource> itunes = MakeItunesSource(config.itunesUrl);
    std::shared_ptr<CoverSource> deezer = MakeDeezerSource(config.deezerUrl);
    std::shared_ptr<CoverSource> musicBrainz =
        MakeMusicBrainzSource(config.musicBrainzUrl, config.coverArtArchiveUrl);
    std::vector<CoverSourceKind> order = CoverSourceOrder(config);
    std::lock_guard<std::mutex> hold(lock_);
    order_ = std::move(order);
    sources_[Index(CoverSourceKind::Itunes)] = std::move(itunes);
    sources_[Index(CoverSourceKind::Deezer)] = std::move(deezer);
    sources_[Index(CoverSourceKind::MusicBrainz)] = std::move(musicBrainz);
}

std::vector<CoverSourceKind> CoverChain::SourcesNow() {
    const Clock::time_point now = Now();
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<CoverSourceKind> out;
    for (const CoverSourceKind kind : order_) {
        const Health& health = health_[Index(kind)];
        if (!health.restUntil || now >= *health.restUntil) out.push_back(kind);
    }
    return out;
}

std::shared_ptr<CoverSource> CoverChain::Source(CoverSourceKind kind) {
    std::lock_guard<std::mutex> hold(lock_);
    return Index(kind) < kCoverSourceKinds ? sources_[Index(kind)] : nullptr;
}

void CoverChain::Report(CoverSourceKind kind, SourceOutcome outcome) {
    // The image search is asked for every new title, whatever it gave before: its "nothing
    // found" looks like its failure, and resting it would cost every title after three jingles
    // its only picture. Only the added services, each with its own quota, rest.
    if (Index(kind) >= kCoverSourceKinds || kind == CoverSourceKind::ImageSearch ||
        outcome == SourceOutcome::Cancelled)
        return;
    const Clock::time_point now = Now();
    std::lock_guard<std::mutex> hold(lock_);
    Health& health = health_[Index(kind)];
    if (outcome != SourceOutcome::Failed) {
        health.failures = 0;
        health.restUntil.reset();
        return;
    }
    if (health.failures < kFailuresBeforeRest) ++health.failures;
    if (health.failures >= kFailuresBeforeRest) health.restUntil = now + kRest;
}

bool CoverChain::Resting(CoverSourceKind kind) {
    const Clock::time_point now = Now();
    std::lock_guard<std::mutex> hold(lock_);
    const Health& health = health_[Index(kind)];
    return health.restUntil && now < *health.restUntil;
}

void CoverChain::Sleep(std::chrono::milliseconds ms) const {
    if (timing_.sleep) {
        timing_.sleep(ms);
    } else {
        std::this_thread::sleep_for(ms);
    }
}

bool CoverChain::AwaitTurn(CoverSourceKind kind, const std::function<bool()>& cancelled,
                           std::optional<Clock::time_point> deadline) {
    if (kind != CoverSourceKind::MusicBrainz) return true;
    Clock::time_point turn;
    {
        const Clock::time_point now = Now();
        std::lock_guard<std::mutex> hold(lock_);
        Health& health = health_[Index(kind)];
        turn = health.nextTurn ? std::max(*health.nextTurn, now) : now;
        if (deadline && turn > *deadline) return false;
        health.nextTurn = turn + kMusicBrainzInterval;
    }
    // Bounded: each step is at most kWaitStep and the turn is at most the queue of earlier
    // searches' turns away, each of which already ended or gave up before its deadline.
    for (;;) {
        const Clock::time_point now = Now();
        if (now >= turn) return true;
        if (cancelled && cancelled()) return false;
        Sleep(std::min(kWaitStep, std::chrono::ceil<std::chrono::milliseconds>(turn - now)));
    }
}
