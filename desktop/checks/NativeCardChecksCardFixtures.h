#pragma once

// The recommendations the card groups show. Fields a group does not name stay empty, except where
// a check needs them to mean what it says: the fit recommendations are already efficient, the
// verified savings carry their basis, and the "same target" recommendation has the first one's
// setting.

#include "desktop/records/Recommendation.h"

#include <array>
#include <optional>

namespace quillmere::NativeCardChecks::cardFixtures {

// Switch to Sonnet 5 Low, 63% against the Opus 5.5 Medium setting the request was built from.
Recommendation switchToSonnet();
// Sonnet without a version.
Recommendation unversionedSonnet();
// Sonnet Low is the right setting; no verified savings.
Recommendation claudeFit();
// Sonnet High is the right setting; 80% against Fable.
Recommendation claudeFitWithSavings();
// GPT-5.6 Sol High is the right setting; 60% against GPT-6 Astra at Standard rates.
Recommendation chatGPTFit();
// Terra Medium with a category, a fit reason and the context the service saw.
Recommendation chatGPTWithCategory();
// The same for a conversation larger than what was sent.
Recommendation chatGPTOversized();
// The first recommendation's setting with another explanation and saving.
Recommendation sameTargetNewReason();
// The first recommendation's setting with another explanation and 50%.
Recommendation sonnetRefreshed();
Recommendation opus();
// A server keep decision for Sonnet High.
Recommendation keep();
// Opus 5 Medium for a changed task.
Recommendation changedTask();
// A long model name and an explanation long enough to scroll.
Recommendation longRecommendation();
// Sonnet without an effort, with the given saving and a verified basis.
Recommendation savingsProbe(std::optional<double> percent);
// The answer to the Ask question: Terra Medium, 45% against Sol at Standard rates.
Recommendation askAnswer();

} // namespace quillmere::NativeCardChecks::cardFixtures
