// Nightly: the Bayes filters learn from their own quarantine. Messages quarantined as spam
// (quarantine/spam) and ham (quarantine/ham) since the last run are learned as such, each by
// a filter only when it does not already classify the message so (learning what it gets right
// would only harden its verdicts). An operator who moves a misjudged message into the other
// folder teaches the filters their mistake the next night. Each folder remembers in ".learned"
// how far it was read.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#import(class, CS_BayesFilter)

int main() {
    int spam = k.LearnBayesQuarantine(1);
    int ham = k.LearnBayesQuarantine(2);
    if (spam < 0 || ham < 0) {
        k.WriteLog(2, "Bayes re-learning: no Bayes engine", 0);
        return 0;
    }
    CS_BayesFilter filter = k.GetBayesFilter();
    k.WriteLog(2, k.Format("Bayes re-learning: %d spam and %d ham learned from the quarantine; the filter knows %d spam, %d ham, %d tokens",
                           spam, ham, filter.GetLearned("spam"), filter.GetLearned("ham"), filter.GetTokens()), 0);
    return 0;
}
