#pragma once

// The self-checks of the conversation-reading rules: the bounded tree walk, sent-message
// extraction and positions, the conversation text rules, navigation scope and the conversation
// memory, run against synthetic trees and message lists. The card suite runs them in the middle of
// its own run with its reporter. Nothing here reads a host, a file or the network.

#include "desktop/checks/CheckReporter.h"

namespace quillmere::SentMessageTreeChecks {

// Every check of the suite (105), in order, each reported exactly once.
void run(const checks::Reporter& check);

// The groups, in the order run() calls them.
void boundedTreeWalk(const checks::Reporter& check);               // 1-8
void eligibilityAndMetadata(const checks::Reporter& check);        // 9-12
void recentUserRequests(const checks::Reporter& check);            // 13-14
void extractionWithoutCap(const checks::Reporter& check);          // 15-17
void conversationMemory(const checks::Reporter& check);            // 18-69
void navigationScope(const checks::Reporter& check);               // 70-76
void recentContextAndFollowUps(const checks::Reporter& check);     // 77-84
void extractionAndMessagePositions(const checks::Reporter& check); // 85-105

} // namespace quillmere::SentMessageTreeChecks
