#include "tools/BayesSettings.h"

namespace tools {

void LoadBayesSettings(const store::CFileINI& ini, checks::BayesFilterSettings& s) {
    s.strength = ini.GetFloat("BAYES", "bayes_strength", static_cast<float>(s.strength));
    s.prior = ini.GetFloat("BAYES", "bayes_prior", static_cast<float>(s.prior));
    s.min_dev = ini.GetFloat("BAYES", "bayes_min_dev", static_cast<float>(s.min_dev));
    s.max_tokens = ini.GetInt("BAYES", "bayes_max_tokens", s.max_tokens);
    s.spam_cutoff = ini.GetFloat("BAYES", "bayes_spam_cutoff", static_cast<float>(s.spam_cutoff));
    s.ham_cutoff = ini.GetFloat("BAYES", "bayes_ham_cutoff", static_cast<float>(s.ham_cutoff));
    s.min_learned = ini.GetInt("BAYES", "bayes_min_learned", s.min_learned);
}

}  // namespace tools
