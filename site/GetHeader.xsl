<?xml version="1.0" encoding="utf-8"?>
<!-- The short header of a result: station, times, the units with their
     statuses and the number of steps and failed steps. A station whose
     results go into a buffer folder ("TempFile") sends only this header to
     the MES; the full result goes into the folder. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="utf-8" omit-xml-declaration="yes" indent="no"/>

  <xsl:template match="/">
    <xsl:apply-templates select="*[local-name()='TestRun']"/>
  </xsl:template>

  <xsl:template match="*[local-name()='TestRun']">
    <xsl:variable name="steps" select=".//*[local-name()='Step']"/>
    <TestResultHeader STATION="{@Station}" START="{@Start}" END="{@End}" STEPS="{count($steps)}"
                      FAILEDSTEPS="{count($steps[translate(@Status, 'pas', 'PAS') != 'PASS'])}">
      <xsl:for-each select="*[local-name()='DUT']">
        <DUT ID="{@ID}" STATUS="{@STATUS}"/>
      </xsl:for-each>
    </TestResultHeader>
  </xsl:template>
</xsl:stylesheet>
