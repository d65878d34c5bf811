// The operator GUI in a real browser (headless Chromium through playwright-core), against a
// running kernel prepared by tests/web_test.py:
//   node gui_test.js URL MORVANE APPDIR KERNEL_PID SINK_DIR PASSWORD
// The default password is refused, a password is set with `morvane --set-password`, the
// operator logs in, reads the dashboard's charts, opens a quarantined copy (no release there),
// releases a held message to the MTA sink once and learns it, searches the message history,
// changes a configuration key and sees it applied, and logs out.
"use strict";
const { chromium } = require("playwright-core");
const { execFileSync } = require("child_process");
const fs = require("fs");
const path = require("path");

const [url, morvane, appDir, kernelPid, sinkDir, password] = process.argv.slice(2);

function check(ok, what) {
  if (!ok) throw new Error("failed: " + what);
  console.log("ok - " + what);
}

async function waitFor(fn, what, ms = 10000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await fn()) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error("timed out: " + what);
}

function logText() {
  return fs.readFileSync(path.join(appDir, "morvane_log.xml"), "utf8");
}

(async () => {
  const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
  const errors = [];
  try {
    const page = await browser.newPage();
    page.on("pageerror", (e) => errors.push(String(e)));

    // Anything but the login page sends a stranger to it.
    await page.goto(url + "/quarantine.htmcc");
    check(page.url().endsWith("/login.htmcc"), "a page without a session goes to the login page");

    // The shipped default password cannot log in.
    await page.fill("input[name=user]", "root");
    await page.fill("input[name=password]", "kelpo");
    await page.click("button[type=submit]");
    check((await page.textContent("#message")).includes("--set-password"), "the default password is refused with advice");

    // Set one on the server, as the page says, and reload the kernel.
    execFileSync(morvane, ["--set-password", "--appdir", appDir], { input: password + "\n" });
    const applied = logText().split("Configuration applied to the engines").length;
    process.kill(Number(kernelPid), "SIGHUP");
    await waitFor(() => logText().split("Configuration applied to the engines").length > applied, "the reload");

    await page.fill("input[name=user]", "root");
    await page.fill("input[name=password]", password);
    await Promise.all([page.waitForNavigation(), page.click("button[type=submit]")]);
    check(page.url().endsWith("/index.htmcc"), "logged in, on the dashboard");
    const cookies = await page.context().cookies();
    const sid = cookies.find((c) => c.name === "mvsid");
    check(sid && sid.httpOnly && sid.sameSite === "Strict" && /^[0-9a-f]{32}$/.test(sid.value),
      "the session cookie is a 128-bit HttpOnly SameSite=Strict value");

    // The charts carry the prepared days: day N back has 10 N sessions, the tallest 290.
    const bars = await page.$$eval("figure.s1 rect title", (ts) => ts.map((t) => t.textContent));
    check(bars.length === 30, "30 days in the sessions chart");
    check(bars[0].endsWith(": 290") && bars[28].endsWith(": 10"), "the chart reads the statistics files");
    check((await page.textContent("figure.s1 figcaption")).includes("290"), "the chart's scale");
    check(Number(await page.textContent("#c-sessions")) >= 1, "today's session counter");
    // The live figures: a bar slot per minute of the hour and per hour of the week, the two
    // sessions sent before the test counted, and the section refreshed in place.
    check((await page.$$("#per-minute rect.hit")).length === 60 && (await page.$$("#per-hour rect.hit")).length === 168,
      "the per-minute and per-hour charts");
    check(Number(await page.textContent("#l-sessions")) >= 2 && Number(await page.textContent("#l-delivered")) >= 1,
      "the last hour's sessions by outcome");
    // GUI_SCREENSHOTS=DIR keeps a picture of the pages for a person to look at.
    const shot = async (name) => {
      if (process.env.GUI_SCREENSHOTS) await page.screenshot({ path: path.join(process.env.GUI_SCREENSHOTS, name + ".png"), fullPage: true });
    };
    await shot("dashboard");
    check((await page.$("#check-hits")) !== null && (await page.$("#top-rules")) !== null, "the checks' and rules' hits");
    await page.waitForSelector("#live[data-refreshed]", { state: "attached", timeout: 15000 });
    check((await page.$$("#per-minute rect.hit")).length === 60, "the live figures refresh in place");

    // The quarantine: the message sent through the kernel before the test.
    let found = null;
    for (const kind of [1, 2, 3, 4]) {
      await page.goto(url + "/quarantine.htmcc?kind=" + kind);
      const link = await page.$("#quarantine a:has-text('quarterly report')");
      if (link) {
        found = link;
        break;
      }
    }
    check(found !== null, "the quarantined message is listed");
    await Promise.all([page.waitForNavigation(), found.click()]);
    const source = await page.textContent("#source");
    check(source.includes("Subject: quarterly report") && source.includes("the figures are attached"),
      "the message is shown as text");
    check((await page.$("#do-release")) === null && (await page.textContent("#copy-note")).includes("copy"),
      "a learning copy of delivered mail offers no release and says it is a copy");

    // The held message: released once from its page, byte for byte, then marked released.
    await page.goto(url + "/held.htmcc");
    const heldLink = await page.$("#held a:has-text('held for the operator')");
    check(heldLink !== null, "the held message is listed");
    await Promise.all([page.waitForNavigation(), heldLink.click()]);
    check((await page.textContent("#held-state")) === "held", "it is held");
    const before = fs.readdirSync(sinkDir).filter((f) => f.endsWith(".eml")).length;
    page.once("dialog", (d) => d.accept());
    await Promise.all([page.waitForNavigation(), page.click("#do-release")]);
    check((await page.textContent("p.notice")).includes("Released"), "release reported");
    await waitFor(() => fs.readdirSync(sinkDir).filter((f) => f.endsWith(".eml")).length > before, "the sink gets it");
    check(true, "the released message reached the MTA sink");
    // Byte for byte what the client sent: no doubled dots, no second "." line.
    const heldId = new URL(page.url()).searchParams.get("id");
    const stored = fs.readFileSync(`${appDir}/quarantine/held/${heldId}.eml`);
    const newest = fs.readdirSync(sinkDir).filter((f) => f.endsWith(".eml"))
      .map((f) => `${sinkDir}/${f}`).sort((a, b) => fs.statSync(b).mtimeMs - fs.statSync(a).mtimeMs)[0];
    const released = fs.readFileSync(newest);
    check(released.equals(stored), "the released message is the stored one, byte for byte");
    check(stored.toString().includes("\r\n.dotted too\r\n") && !stored.toString().endsWith(".\r\n"),
      "the stored message is the message as sent");
    check((await page.textContent("#held-state")).startsWith("released ") && (await page.$("#do-release")) === null,
      "a released message says so and offers no second release");
    // Learned from the held message's page.
    await Promise.all([page.waitForNavigation(), page.click("#do-spam")]);
    check((await page.textContent("p.notice")).includes("Learned as spam"), "learned as spam");
    await Promise.all([page.waitForNavigation(), page.click("#do-spam")]);
    check((await page.textContent("p.notice")).includes("Already learned as spam"), "a message counts once");
    await page.goto(url + "/index.htmcc");
    check(Number(await page.textContent("#c-bayes-spam")) === 1 && Number(await page.textContent("#c-bayes-tokens")) > 10,
      "the dashboard shows what the Bayes filter learned");

    // The message history: the session that sent the report, found by its sender, opened.
    await page.goto(url + "/history.htmcc");
    check((await page.$$("#history tbody tr")).length >= 1, "the history lists the sessions");
    await page.fill("#history-filter input[name=sender]", "NOBODY-SENT-THIS");
    await Promise.all([page.waitForNavigation(), page.click("#history-filter button")]);
    check((await page.$$("#history tbody tr")).length === 0, "a filter that matches nothing shows no row");
    await page.goto(url + "/history.htmcc?action=delivered");
    const rowText = await page.textContent("#history tbody tr");
    check(rowText.includes("127.0.0.1") && rowText.includes("delivered"), "the delivered session is listed");
    await Promise.all([page.waitForNavigation(), page.click("#history tbody tr a")]);
    const record = await page.textContent("#record");
    check(record.includes("end of data") && record.includes("X-Morvane-Score") === false && record.includes("bytes"),
      "a record opens with its details");
    await page.goto(url + "/history.htmcc?since=yesterday");
    check((await page.textContent("p.notice")).includes("not understood"), "a bad date is said, not ignored");

    // Rules: a pattern that does not compile is refused before saving; a rule is added, tried
    // on a pasted message, used by the message check, re-scored, disabled and deleted.
    const sample = "From: a@example.org\r\nSubject: quarterly report\r\n\r\nthe figures\r\n";
    const newRule = async (pattern, button, message = "") => {
      await page.click("details summary");
      await page.fill("#name", "GUI_TEST_RULE");
      await page.selectOption("#type", "1");
      await page.fill("#score", "2.5");
      await page.fill("#pattern", pattern);
      await page.fill("#sample", message);
      await Promise.all([page.waitForNavigation(), page.click(button)]);
    };
    await page.goto(url + "/rules.htmcc");
    await newRule("quarterly (", "#do-add");
    check((await page.textContent("p.notice")).includes("does not compile"), "a bad pattern is refused with its error");
    await newRule("quarterly (\\w+)", "#do-test", sample);
    check((await page.textContent("p.notice")).includes("match $1=report"), "a rule is tried on a pasted message");
    await newRule("quarterly (\\w+)", "#do-add");
    const ruleRow = 'tr[data-rule="GUI_TEST_RULE"]';
    check((await page.textContent(ruleRow)).includes("subject"), "the rule is added");
    const checkMessage = async () => {
      await page.goto(url + "/check.htmcc");
      await page.fill("#message", sample);
      await Promise.all([page.waitForNavigation(), page.click("#do-check")]);
      return page.textContent("#checks");
    };
    let checks = await checkMessage();
    await shot("check");
    check(checks.includes("GUI_TEST_RULE:2.50") && checks.includes("filter") && checks.includes("dkim"),
      "the message check shows each check's result");
    check(["delivered", "tagged", "refused", "held"].includes(await page.textContent("#verdict")),
      "the message check says what the policy would do");
    await page.goto(url + "/rules.htmcc");
    await page.fill(ruleRow + " input[name=score]", "7");
    await Promise.all([page.waitForNavigation(), page.click(ruleRow + " button[value=score]")]);
    check((await page.textContent(ruleRow)).includes("7.000") || (await page.inputValue(ruleRow + " input[name=score]")) === "7.000",
      "the rule is re-scored");
    await Promise.all([page.waitForNavigation(), page.click(ruleRow + " button[value=disable]")]);
    check((await page.getAttribute(ruleRow, "class")) === "off", "the rule is disabled");
    checks = await checkMessage();
    check(!checks.includes("GUI_TEST_RULE"), "a disabled rule does not match");
    await page.goto(url + "/rules.htmcc");
    page.once("dialog", (d) => d.accept());
    await Promise.all([page.waitForNavigation(), page.click(ruleRow + " button[value=delete]")]);
    check((await page.$(ruleRow)) === null, "the rule is deleted");

    // Lists: an address embargoed for a day and lifted; a filter that is no pattern is said.
    await page.goto(url + "/lists.htmcc?list=embargo");
    await page.fill("#embargo-add input[name=address]", "192.0.2.55");
    await Promise.all([page.waitForNavigation(), page.click("#embargo-add button")]);
    const embargoRow = 'tr[data-key="192.0.2.55"]';
    check((await page.$(embargoRow)) !== null, "an address is embargoed from the GUI");
    page.once("dialog", (d) => d.accept());
    await Promise.all([page.waitForNavigation(), page.click(embargoRow + " button[value=remove]")]);
    check((await page.$(embargoRow)) === null, "the embargo is lifted");
    await page.goto(url + "/lists.htmcc?list=grey&field=2&q=" + encodeURIComponent("a("));
    check((await page.textContent("p.notice")).includes("no regular expression"), "a bad filter is said, not an empty list");

    // A local domain's own list, from its page.
    await page.goto(url + "/domains.htmcc");
    await page.fill("input[name=domain]", "gui.test");
    await Promise.all([page.waitForNavigation(), page.click("form.inline button")]);
    await Promise.all([page.waitForNavigation(), page.click("#domains a:has-text('gui.test')")]);
    await page.fill("#add-wbip input[name=entry]", "Friend@Example.org");
    await Promise.all([page.waitForNavigation(), page.click("#add-wbip button")]);
    check((await page.textContent("#list-wbip")).includes("friend@example.org") &&
      (await page.textContent("#list-wbip")).includes("white"), "a domain's white list takes a sender");
    await page.fill("#add-wbip input[name=entry]", "not an address");
    await Promise.all([page.waitForNavigation(), page.click("#add-wbip button")]);
    check((await page.textContent("p.notice")).includes("no address or domain"), "a bad entry is refused");
    await Promise.all([page.waitForNavigation(), page.click("#list-wbip button[value=unset]")]);
    check(!(await page.textContent("#list-wbip")).includes("friend@example.org"), "the entry is removed");

    // Cron: a job added with its schedule checked, turned off, removed.
    await page.goto(url + "/cron.htmcc");
    await page.fill("#schedule", "0 4 * * * nowhere/../x.cs");
    await page.fill("#job-id", "gui_job");
    await Promise.all([page.waitForNavigation(), page.click("#cron-add button")]);
    check((await page.textContent("p.notice")).includes("not a plain file name"), "a bad schedule is refused with why");
    await page.fill("#schedule", "0 4 * * * daily_stats.cs");
    await page.fill("#job-id", "gui_job");
    await Promise.all([page.waitForNavigation(), page.click("#cron-add button")]);
    const jobRow = 'tr[data-job="gui_job"]';
    await shot("cron");
    check((await page.textContent(jobRow)).includes("idle") && /\d{4}-\d\d-\d\d 04:00/.test(await page.textContent(jobRow)),
      "the job is added with its next run");
    await Promise.all([page.waitForNavigation(), page.click(jobRow + " button[value=off]")]);
    check((await page.getAttribute(jobRow, "class")) === "off", "the job is turned off");
    check(fs.readFileSync(path.join(appDir, "scripts/cron/morvane.crontab"), "utf8").includes("#0 4 * * * daily_stats.cs=gui_job"),
      "the crontab keeps it, marked off");
    page.once("dialog", (d) => d.accept());
    await Promise.all([page.waitForNavigation(), page.click(jobRow + " button[value=remove]")]);
    check((await page.$(jobRow)) === null, "the job is removed");

    // A configuration key, changed and applied.
    await page.goto(url + "/config.htmcc?section=HEADER_MSG");
    const field = page.locator('input[data-key="x_subject"]');
    await field.fill("[GUI-SPAM]");
    const reloads = logText().split("Configuration applied to the engines").length;
    await Promise.all([page.waitForNavigation(), field.locator("xpath=..").locator("button").click()]);
    check((await page.textContent("p.notice")).includes("saved"), "the change is saved");
    await waitFor(() => logText().split("Configuration applied to the engines").length > reloads, "the reload");
    check(true, "the kernel reloaded its engines with the change");
    await waitFor(async () => {
      await page.goto(url + "/config.htmcc?section=HEADER_MSG");
      return (await page.inputValue('input[data-key="x_subject"]')) === "[GUI-SPAM]";
    }, "the kernel applies the key");
    check(fs.readFileSync(path.join(appDir, "morvane.ini"), "latin1").includes("x_subject=[GUI-SPAM]"),
      "morvane.ini holds the new value");

    // The other pages answer.
    for (const [p, sel] of [["lists.htmcc", "#list"], ["lists.htmcc?list=alwl", "#list"], ["domains.htmcc", "#domains"],
      ["rules.htmcc", "#rules"], ["cron.htmcc", "#cron"]]) {
      await page.goto(url + "/" + p);
      check((await page.$(sel)) !== null, p + " shows its table");
    }
    await page.setViewportSize({ width: 390, height: 800 });
    await page.goto(url + "/index.htmcc");
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    check(width <= 400, "the dashboard fits a phone's width");

    // Log out: the session is gone.
    await Promise.all([page.waitForNavigation(), page.click("header .logout button")]);
    check(page.url().endsWith("/login.htmcc"), "logged out");
    await page.goto(url + "/index.htmcc");
    check(page.url().endsWith("/login.htmcc"), "the old session no longer opens pages");
    check(errors.length === 0, "no script errors in the pages: " + errors.join("; "));
  } finally {
    await browser.close();
  }
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
