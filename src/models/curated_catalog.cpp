#include "models/curated_catalog.h"

#include <QCoreApplication>

namespace CuratedCatalog {

namespace {

struct Entry {
    const char *name;
    const char *description; // translated, context "Catalog"
    const char *size;
    const char *parameters;
    const char *quantization;
    const char *useCase;     // translated, context "Catalog"
    const char *repository;  // path of the GGUF repository on kModelHost
    const char *fileName;    // exact file name inside it (case matters)
};

// clang-format off
constexpr Entry kEntries[] = {
    {"Gemma 2 2B Instruct", QT_TRANSLATE_NOOP("Catalog", "Ultra-fast Google model, perfect for laptops and quick tasks"),
     "1.6 GB", "2B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Quick responses, low resources"),
     "bartowski/gemma-2-2b-it-GGUF", "gemma-2-2b-it-Q4_K_M.gguf"},
    {"Qwen2.5 3B Instruct", QT_TRANSLATE_NOOP("Catalog", "Fast and efficient small model, great for general tasks"),
     "1.9 GB", "3B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "General chat, quick responses"),
     "Qwen/Qwen2.5-3B-Instruct-GGUF", "qwen2.5-3b-instruct-q4_k_m.gguf"},
    {"Phi-3 Mini 3.8B", QT_TRANSLATE_NOOP("Catalog", "Microsoft's efficient small model with strong reasoning"),
     "2.2 GB", "3.8B", "Q4", QT_TRANSLATE_NOOP("Catalog", "Reasoning, coding, chat"),
     "microsoft/Phi-3-mini-4k-instruct-gguf", "Phi-3-mini-4k-instruct-q4.gguf"},
    {"Llama 3.2 3B Instruct", QT_TRANSLATE_NOOP("Catalog", "Meta's latest compact model with good performance"),
     "2.0 GB", "3B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "General purpose, fast"),
     "bartowski/Llama-3.2-3B-Instruct-GGUF", "Llama-3.2-3B-Instruct-Q4_K_M.gguf"},
    {"Phi-3.5 Mini 3.8B", QT_TRANSLATE_NOOP("Catalog", "Microsoft's newest small model with strong reasoning"),
     "2.3 GB", "3.8B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Reasoning, efficient performance"),
     "bartowski/Phi-3.5-mini-instruct-GGUF", "Phi-3.5-mini-instruct-Q4_K_M.gguf"},
    {"Qwen2.5 7B Instruct", QT_TRANSLATE_NOOP("Catalog", "Perfect balance of speed and capability, most popular size"),
     "4.4 GB", "7B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "General purpose, versatile"),
     "bartowski/Qwen2.5-7B-Instruct-GGUF", "Qwen2.5-7B-Instruct-Q4_K_M.gguf"},
    {"Mistral 7B Instruct v0.3", QT_TRANSLATE_NOOP("Catalog", "Popular and powerful 7B model from Mistral AI"),
     "4.4 GB", "7B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Chat, reasoning, coding"),
     "MaziyarPanahi/Mistral-7B-Instruct-v0.3-GGUF", "Mistral-7B-Instruct-v0.3.Q4_K_M.gguf"},
    {"Qwen2.5 Coder 7B", QT_TRANSLATE_NOOP("Catalog", "Efficient coding model, lightweight alternative"),
     "4.7 GB", "7B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Coding, lightweight"),
     "Qwen/Qwen2.5-Coder-7B-Instruct-GGUF", "qwen2.5-coder-7b-instruct-q4_k_m.gguf"},
    {"Llama 3.1 8B Instruct", QT_TRANSLATE_NOOP("Catalog", "Meta's excellent 8B model with great capability"),
     "4.9 GB", "8B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "General purpose, versatile"),
     "bartowski/Meta-Llama-3.1-8B-Instruct-GGUF", "Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf"},
    {"Gemma 2 9B Instruct", QT_TRANSLATE_NOOP("Catalog", "Google's powerful model with excellent reasoning and math"),
     "5.4 GB", "9B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Reasoning, math, science"),
     "bartowski/gemma-2-9b-it-GGUF", "gemma-2-9b-it-Q4_K_M.gguf"},
    {"CodeLlama 13B Instruct", QT_TRANSLATE_NOOP("Catalog", "Meta's specialized coding model for programming tasks"),
     "7.9 GB", "13B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Code generation, debugging"),
     "TheBloke/CodeLlama-13B-Instruct-GGUF", "codellama-13b-instruct.Q4_K_M.gguf"},
    {"Qwen2.5 14B Instruct", QT_TRANSLATE_NOOP("Catalog", "Excellent balance of speed and capability"),
     "8.5 GB", "14B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Advanced chat, analysis, coding"),
     "bartowski/Qwen2.5-14B-Instruct-GGUF", "Qwen2.5-14B-Instruct-Q4_K_M.gguf"},
    {"Gemma 2 27B Instruct", QT_TRANSLATE_NOOP("Catalog", "Google's large model with strong performance across tasks"),
     "16 GB", "27B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Advanced tasks, high quality"),
     "bartowski/gemma-2-27b-it-GGUF", "gemma-2-27b-it-Q4_K_M.gguf"},
    {"Qwen2.5 32B Instruct", QT_TRANSLATE_NOOP("Catalog", "High-quality responses with strong reasoning"),
     "19 GB", "32B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Professional tasks, complex reasoning"),
     "bartowski/Qwen2.5-32B-Instruct-GGUF", "Qwen2.5-32B-Instruct-Q4_K_M.gguf"},
    {"Qwen2.5 Coder 32B", QT_TRANSLATE_NOOP("Catalog", "Specialized coding model with exceptional performance"),
     "19 GB", "32B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Advanced coding, debugging, refactoring"),
     "Qwen/Qwen2.5-Coder-32B-Instruct-GGUF", "qwen2.5-coder-32b-instruct-q4_k_m.gguf"},
    {"DeepSeek Coder 33B", QT_TRANSLATE_NOOP("Catalog", "Top-tier coding assistant with deep understanding"),
     "19 GB", "33B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Professional coding, architecture design"),
     "TheBloke/deepseek-coder-33B-instruct-GGUF", "deepseek-coder-33b-instruct.Q4_K_M.gguf"},
    {"Mixtral 8x7B Instruct", QT_TRANSLATE_NOOP("Catalog", "Mistral's MoE model - 47B total, uses ~13B actively"),
     "26 GB", "47B (8x7B MoE)", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Efficient large model, multilingual"),
     "TheBloke/Mixtral-8x7B-Instruct-v0.1-GGUF", "mixtral-8x7b-instruct-v0.1.Q4_K_M.gguf"},
    {"Nous Hermes 2 Mixtral 8x7B", QT_TRANSLATE_NOOP("Catalog", "Fine-tuned Mixtral with improved instruction following"),
     "26 GB", "47B (8x7B MoE)", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Enhanced chat, instruction following"),
     "TheBloke/Nous-Hermes-2-Mixtral-8x7B-DPO-GGUF", "nous-hermes-2-mixtral-8x7b-dpo.Q4_K_M.gguf"},
    {"Llama 3.3 70B Instruct", QT_TRANSLATE_NOOP("Catalog", "Meta's latest flagship - GPT-4 class performance"),
     "40 GB", "70B", "Q4_K_M", QT_TRANSLATE_NOOP("Catalog", "Professional use, complex reasoning"),
     "bartowski/Llama-3.3-70B-Instruct-GGUF", "Llama-3.3-70B-Instruct-Q4_K_M.gguf"},
};
// clang-format on

QList<CuratedModel> build()
{
    QList<CuratedModel> models;
    models.reserve(std::size(kEntries));
    for (const Entry &e : kEntries) {
        models.append({QUuid::createUuid(), QString::fromUtf8(e.name),
                       QCoreApplication::translate("Catalog", e.description),
                       QString::fromUtf8(e.size), QString::fromUtf8(e.parameters),
                       QLatin1String(kModelHost) + u'/' + QString::fromUtf8(e.repository)
                           + QLatin1String("/resolve/main/") + QString::fromUtf8(e.fileName),
                       QString::fromUtf8(e.quantization), QCoreApplication::translate("Catalog", e.useCase)});
    }
    return models;
}

} // namespace

const QList<CuratedModel> &all()
{
    static const QList<CuratedModel> models = build();
    return models;
}

QString catalogUrl(const CuratedModel &model, const QString &host)
{
    const QString realHost = QLatin1String(kModelHost) + u'/';
    if (!model.url.startsWith(realHost))
        return model.url;
    QString base = host;
    while (base.endsWith(u'/'))
        base.chop(1);
    return base + u'/' + model.url.mid(realHost.size());
}

} // namespace CuratedCatalog
