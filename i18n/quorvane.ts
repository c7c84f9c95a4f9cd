<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" sourcelanguage="en">
<context>
    <name>AboutBox</name>
    <message>
        <source>llama.cpp (downloaded at first start)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not verified yet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Data folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Licences</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>AppState</name>
    <message>
        <source>**Model Still Downloading**

The selected model &quot;%1&quot; is still downloading. Please wait for the download to complete before chatting.

**Current status:** Downloading...

You can check the progress in the Models tab. Once the download finishes, you&apos;ll be able to chat with this model.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>**Model Loading Failed**

I couldn&apos;t load the selected model &quot;%1&quot;. This might be due to:

• **Corrupted model file** - Try re-downloading the model
• **Insufficient memory** - Close other applications and try again
• **File permission issues** - Make sure the app has access to the Models folder

**Troubleshooting steps:**
1. Go to Models tab and delete the problematic model
2. Re-download it from Hugging Face
3. Try again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no such conversation to export.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Conversations can only be exported to a file on this computer.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The conversation holds a value that cannot be written out.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not write %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is not a folder.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The folder %1 is not writable; nothing was exported.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a value cannot be written out</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not open %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is too large to import (%2; at most %3).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 could not be imported: %2.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 was imported; %2 of its messages had no id and were given one.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A model with this filename already exists</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Local File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation already in progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama.cpp is not installed and this build cannot install it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation completed but the binary failed to run. %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ByteCount</name>
    <message>
        <source>Zero KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>1 byte</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 bytes</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Catalog</name>
    <message>
        <source>Ultra-fast Google model, perfect for laptops and quick tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quick responses, low resources</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fast and efficient small model, great for general tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>General chat, quick responses</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Microsoft&apos;s efficient small model with strong reasoning</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reasoning, coding, chat</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Meta&apos;s latest compact model with good performance</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>General purpose, fast</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Microsoft&apos;s newest small model with strong reasoning</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reasoning, efficient performance</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Perfect balance of speed and capability, most popular size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>General purpose, versatile</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Popular and powerful 7B model from Mistral AI</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chat, reasoning, coding</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Efficient coding model, lightweight alternative</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Coding, lightweight</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Meta&apos;s excellent 8B model with great capability</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Google&apos;s powerful model with excellent reasoning and math</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reasoning, math, science</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Meta&apos;s specialized coding model for programming tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Code generation, debugging</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Excellent balance of speed and capability</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Advanced chat, analysis, coding</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Google&apos;s large model with strong performance across tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Advanced tasks, high quality</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>High-quality responses with strong reasoning</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Professional tasks, complex reasoning</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Specialized coding model with exceptional performance</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Advanced coding, debugging, refactoring</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Top-tier coding assistant with deep understanding</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Professional coding, architecture design</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Mistral&apos;s MoE model - 47B total, uses ~13B actively</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Efficient large model, multilingual</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fine-tuned Mixtral with improved instruction following</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enhanced chat, instruction following</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Meta&apos;s latest flagship - GPT-4 class performance</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Professional use, complex reasoning</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CatalogState</name>
    <message>
        <source>Runs Great</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>May Be Slow</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not Recommended</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ChatHistorySidebar</name>
    <message>
        <source>Chats</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>New chat</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Search chats...</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ChatSessionRow</name>
    <message>
        <source>Conversation title</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chat options</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Rename</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Chat</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ChatView</name>
    <message>
        <source>How can I help you today ?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No Model Selected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>You need to install a model first. You can look in the model library for suggested models.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go to Models</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File Too Large</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CodeBlockView</name>
    <message>
        <source>Copied!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ComposerState</name>
    <message>
        <source>%1 is larger than the %2 attachment limit and was not attached.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>These files are larger than the %1 attachment limit and were not attached:

%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>(Attached files)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ComposerView</name>
    <message>
        <source>Attach files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Send a message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop generation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Send</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Send message</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ConnectInsteadButton</name>
    <message>
        <source>Connect to a server instead</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ConnectServerDialog</name>
    <message>
        <source>Connect to a server</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Use a llama.cpp server, vLLM or Ollama running on another computer. No model needs to be downloaded here.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start chatting</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ConversationExchange</name>
    <message>
        <source>Import</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export Conversation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export All Conversations</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Import Conversations</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Conversations</name>
    <message>
        <source>User</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Assistant (notice)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Assistant (error)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Assistant (stopped)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Assistant</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Created %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Answer %1 of %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Attached: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it is not JSON (%1 at byte %2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it holds no conversation (a JSON object was expected)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it is not a conversation (%1)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>New Chat</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ConversationsSettings</name>
    <message>
        <source>Conversations</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export All…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Import…</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CustomURLTabView</name>
    <message>
        <source>Hugging Face Model URL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter direct link to GGUF file (e.g., resolve/main/filename.gguf)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model Name (Optional)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Auto-detect from URL if empty</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download Model</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DownloadTransfer</name>
    <message>
        <source>The link did not lead to an HTTP server.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server sent part of the file when the whole file was asked for.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The connection closed before the whole file arrived.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Errors</name>
    <message>
        <source>Download failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Llama.cpp error: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server returned HTTP %1. The file may have been moved, renamed, or require authentication.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model not found</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Invalid model format</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Network connection error</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>FileCard</name>
    <message>
        <source>Remove file</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Installer</name>
    <message>
        <source>llama.cpp binary not found</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama.cpp binary is not executable</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not launch binary: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Binary did not respond within %1s. This usually clears up on a second launch — the GPU shader cache is still building.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Binary failed to run: exit code %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Binary failed to run: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The request was cancelled.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The request timed out.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The connection closed before the whole file arrived.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LlamaCPPInstallationView</name>
    <message>
        <source>Installing requirements</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Preparing installation...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This may take 2-5 minutes on first launch</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LlamaCPPManager</name>
    <message>
        <source>Model is not downloaded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model file not found</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LlamaCPPSetupRequiredView</name>
    <message>
        <source>Setup Required</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Verifying...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Confirming the binary runs correctly</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quorvane can&apos;t download models until required components are installed and verified.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Try Again</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LlamaInstaller</name>
    <message>
        <source>Installation complete!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the application is quitting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Checking for prebuilt release...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad GitHub API URL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not query GitHub releases: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>GitHub API returned HTTP %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not parse GitHub release metadata</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No recent llama.cpp release has a %1 asset</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading requirements...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download returned HTTP %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not save tarball: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloaded tarball is suspiciously small (%1 bytes)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Extracting...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not create install directory: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not run tar: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>tar extract failed (status %1): %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Signing binaries...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Extracted archive did not contain llama-completion</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finalizing installation...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installation already in progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Creating directories...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to create directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clone failed. Check internet connection.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Preparing build environment...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clone incomplete. Please retry.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing build tools...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to install CMake. Please install with: sudo apt install cmake</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Configuring build...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to create build directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>CMake configuration error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>CMake configuration failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Building...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build failed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LocalFileTabView</name>
    <message>
        <source>Select a GGUF Model File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Choose a .gguf model file you already have on your computer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Browse Files</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MainContentArea</name>
    <message>
        <source>Hide sidebar</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show sidebar</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MessageView</name>
    <message>
        <source>Edit message text</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save &amp;&amp; send</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save &amp; send</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Previous answer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Next answer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Regenerate</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Edit message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Edit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelCard</name>
    <message>
        <source>Download %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelDetailsView</name>
    <message>
        <source>Model Details</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Source URL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File Size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Status</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloaded and ready</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading...</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelPickerState</name>
    <message>
        <source>Please provide a direct download URL containing &apos;/resolve/main/&apos; followed by the file name.

Example:
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Invalid model URL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model unavailable (HTTP %1). Hugging Face may have renamed or removed this file. Try Custom URL with a fresh link.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unknown Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Invalid URL format</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error loading model: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Please select a .gguf model file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error loading model: The file “%1” couldn’t be opened because there is no such file.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error loading model: “%1” is not a file.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A model with this filename already exists</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy %1 into Quorvane&apos;s storage?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quorvane will keep its own copy of %1 (%2) under Application Support. The original at %3 will not be touched. If you don&apos;t have the disk space for a second copy, cancel.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelPickerView</name>
    <message>
        <source>Model Library</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Suggested</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Custom URL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Local File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add AI Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select a GGUF Model File</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download Status</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelRowView</name>
    <message>
        <source>• Active</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model options</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model Details</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete %1?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This removes the model file from your computer. You will have to download it again to use it.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelsListModel</name>
    <message>
        <source>Starting download...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 downloaded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 / %2 downloaded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ModelsView</name>
    <message>
        <source>Models</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No models yet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download AI models from Hugging Face to get started</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RemoteModelList</name>
    <message>
        <source>The server at %1 did not send a model list: its answer is not JSON.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 did not send a model list: its answer has no &quot;data&quot; list.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 offers no models.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RemoteServer</name>
    <message>
        <source>for example http://192.168.1.20:8080</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter the server&apos;s address, %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The address must start with http:// or https://, %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a valid address.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&quot;%1&quot; names no server, %2.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Put the API key in its own field, not in the address.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The address cannot contain &quot;?&quot; or &quot;#&quot;.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>1 second</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 seconds</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 did not accept the API key (HTTP %2%3). Check the key.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 needs an API key (HTTP %2%3).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 has no %2 (HTTP 404%3). Check the address and the model.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 failed (HTTP %2%3).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 answered HTTP %2%3.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 refused the connection. Check the address and the port, and that the server is running.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 did not answer within %2.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The answer from the server at %1 broke off: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server %1 could not be found. Check the address.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The secure connection to %1 failed: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not reach the server at %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 sent nothing for %2.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The reply above was cut off: the connection to the server at %1 closed before the reply ended.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The connection to the server at %1 closed before the reply began.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RemoteServerForm</name>
    <message>
        <source>Server address</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>API key</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Leave empty to keep the stored key</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Optional</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Forget key</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Replies</name>
    <message>
        <source>llama.cpp not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model file not found</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not stage prompt file — %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No free port on 127.0.0.1 for llama-server</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not write the server&apos;s key file: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama-server was ended by signal %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama-server exited with status %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama-server did not finish loading the model in %1 s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama-server was stopped before it was ready</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No model loaded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Already generating</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Empty prompt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Generation stopped by user.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>⚠️ Could not generate a reply: </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the model produced no output</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 sent an event that is not JSON: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server at %1 reported an error: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>llama-server is not running</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No server is set up for replies. Connect to one in Settings.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server reported an error.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server sent an event that is not JSON: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The request was stopped.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The server sent nothing for too long.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The connection closed before the answer ended.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RepliesSection</name>
    <message>
        <source>One process per reply</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Loads the model for each reply and frees the memory after it. Best for short chats.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Keep the model loaded</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Long conversations stay fast: earlier turns are not read again. Holds the model&apos;s memory.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Use a server elsewhere</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>For models too large for this computer: a llama.cpp server, vLLM or Ollama answers.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop the server after</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Idle minutes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>minutes unused, to give the memory back</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ReplyEngines</name>
    <message>
        <source>llama.cpp is not installed yet.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installed llama.cpp has no llama-server, so each reply starts llama-completion on its own.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Starting…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Loading model…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ready</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stopping…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not start: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not running</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No secret store is available: the API key is kept only until Quorvane quits.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Your conversations are sent to %1.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SettingsView</name>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Model selector</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No models installed yet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Manage models</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Replies</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Appearance</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Light</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Dark</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>System prompt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reset to default</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saved</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save prompt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>About Quorvane</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SuggestedModelCard</name>
    <message>
        <source>Download %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SuggestedModelsTabView</name>
    <message>
        <source>%1 GB RAM</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ThemeToggleButton</name>
    <message>
        <source>Switch to Dark Mode</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Switch to Light Mode</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>WelcomeView</name>
    <message>
        <source>Your Personal AI Model Runner</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add Model</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connect to a server</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
