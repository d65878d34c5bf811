<?xml version="1.0" encoding="ISO-8859-1"?>
<!-- Shows morvane_log.xml in a browser as a table, newest item last. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="ISO-8859-1"/>
  <xsl:template match="/LogFile">
    <html>
      <head>
        <title><xsl:value-of select="AppName"/> log</title>
        <style>
          body { font-family: sans-serif; font-size: 13px; }
          table { border-collapse: collapse; width: 100%; }
          th, td { border-bottom: 1px solid #ddd; padding: 2px 6px; text-align: left; vertical-align: top; }
          th { background: #eee; }
          td.entry { font-family: monospace; white-space: pre-wrap; }
        </style>
      </head>
      <body>
        <h3><xsl:value-of select="AppName"/> &#8212; log opened <xsl:value-of select="Date"/>
          <xsl:text> </xsl:text><xsl:value-of select="Time"/></h3>
        <table>
          <tr><th>Date</th><th>Time</th><th>Type</th><th>Conn</th><th>Source</th><th>Entry</th></tr>
          <xsl:for-each select="LogItem">
            <tr>
              <td><xsl:value-of select="Date"/></td>
              <td><xsl:value-of select="Time"/></td>
              <td><xsl:value-of select="Type"/></td>
              <td><xsl:value-of select="IdConnection"/></td>
              <td><xsl:value-of select="Filename"/><xsl:if test="Function != ''"> / <xsl:value-of select="Function"/></xsl:if></td>
              <td class="entry"><xsl:value-of select="Entry"/></td>
            </tr>
          </xsl:for-each>
        </table>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
