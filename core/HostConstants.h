#pragma once

// Host names of the chat services' web applications. They are configuration of this build, read
// by every rule that recognises a conversation page: the tree walk that keeps the Claude page
// while pruning embedded browsers, and the window tracker's conversation URL rules. Keeping them
// in one place keeps those rules agreeing about which pages belong to a host. Lower case.

namespace quillmere::HostConstants {

inline constexpr char claudeWebHost[] = "claude.ai";
inline constexpr char chatGPTWebHost[] = "chatgpt.com";

} // namespace quillmere::HostConstants
