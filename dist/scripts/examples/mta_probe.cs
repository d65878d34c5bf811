// Example: CS_Socket. Connects to the back-end MTA ([CONFIG] smtp_server1:smtp_port1), reads its
// greeting, says QUIT, and logs how it answered; a UDP socket would be new CS_Socket(1).
#import(class, CS_Buffer)
#import(class, CS_Socket)

CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);

int main() {
    string host = k.GetConfig("smtp_server1", "CONFIG");
    string port = k.GetConfig("smtp_port1", "CONFIG");
    CS_Socket s = new CS_Socket(0);
    if (s.ConnectTo(host, port) != 1) {
        k.WriteLog(1, "mta_probe: no connection to " + host + ":" + port, 0);
        return 1;
    }
    CS_Buffer b = new CS_Buffer();
    b.Allocate(512);
    int n = s.Riceve(b, 5000);
    s.Send("QUIT\r\n", 6, 1000);
    s.Close();
    k.WriteLog(2, k.Format("mta_probe: %s:%s greets with %d bytes: %s", host, port, n, k.Trim(b.ToString())), 0);
    return 0;
}
