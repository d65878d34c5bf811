// Nightly: the Bayes filter learns from its own quarantine. Messages quarantined as spam
// (quarantine/spam) and ham (quarantine/ham) since the last run are learned as such, each only
// when the filter does not already classify it so (learning what it gets right would only
// harden its verdicts). An operator who moves a misjudged message into the other folder
// teaches the filter its mistake the next night. Each folder remembers in ".learned" how far
// it was read.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#import(class, CS_Bayes)

int main() {
    int spam = k.LearnBayesQuarantine(1);
    int ham = k.LearnBayesQuarantine(2);
    if (spam < 0 || ham < 0) {
        k.WriteLog(2, "Bayes re-learning: no Bayes engine", 0);
        return 0;
    }
    CS_Bayes bayes = k.GetDBBayes();
    k.WriteLog(2, k.Format("Bayes re-learning: %d spam and %d ham learned from the quarantine; %d spam and %d ham words",
                           spam, ham, bayes.GetWordsCount("spam"), bayes.GetWordsCount("ham")), 0);
    return 0;
}
