// Example: the MySQL classes. Copies the day's statistics counters into a MySQL/MariaDB table
// morvane_stats(name, value). Settings of its own in morvane.ini:
//     [MYSQL] host, user, password, database, port
// The connection is kept in the persistent-object store, so every run shares one.
#import(class, HashArray)
#import(class, CS_Buffer)
#import(class, CS_MySqlConn)
#import(class, CS_MySqlRecordSet)

CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);

int main() {
    CS_MySqlConn db = k.CreatePersistentOBJ("mysql_export", "CS_MySqlConn");
    if (db.Connect(k.GetConfig("host", "MYSQL"), k.GetConfig("user", "MYSQL"), k.GetConfig("password", "MYSQL"),
                   k.GetConfig("database", "MYSQL"), k.CharToInt(k.GetConfig("port", "MYSQL"))) != 1) {
        k.WriteLog(1, "mysql_export: " + db.GetError(), 0);
        return 1;
    }
    db.Execute("CREATE TABLE IF NOT EXISTS morvane_stats (name VARCHAR(128) PRIMARY KEY, value VARCHAR(32))");
    HashArray stats = new HashArray();
    k.GetStatisticsToArray(stats);
    CS_Buffer name = new CS_Buffer();
    int i = 0;
    while (i < stats.GetRecordCount()) {
        string key = stats.GetKeyByIndex(i);
        db.Escape_String(name, key, k.StrLen(key));
        db.Execute("REPLACE INTO morvane_stats VALUES ('" + name.ToString() + "', '" + stats.GetByIndexS(i) + "')");
        i = i + 1;
    }
    CS_MySqlRecordSet rs = new CS_MySqlRecordSet();
    rs.Open("SELECT COUNT(*) AS n FROM morvane_stats", db);
    HashArray row = rs.FetchRow();
    k.WriteLog(2, "mysql_export: the table holds " + row.GetS("n") + " counters", 0);
    rs.Close();
    return 0;
}
